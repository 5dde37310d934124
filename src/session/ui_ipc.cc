#include "session/ui_ipc.h"

#include "base/log.h"
#include "base/settings.h"
#include "net/pobject.h"
#include "net/pstream.h"
#include "session/notice_queue.h"

namespace tidewell {
namespace {

const ustring& Comp() {
  static const ustring component("channel_ui_debug");
  return component;
}

// Seconds a user interface that accepted but does not read may hold a
// sender up.
constexpr uint32_t kSendTimeout = 10;

PObject FileNotice(const char* kind, const UI_IPC::FileItem& item) {
  PObject msg;
  msg["notify"] = kind;
  msg["session_id"] = static_cast<unsigned long long>(item.sess_id);
  msg["path"] = item.path;
  msg["is_dir"] = item.is_dir;
  return msg;
}

std::atomic<NoticeQueue*> g_notice_queue{nullptr};

}  // namespace

void UI_IPC::SetNoticeQueue(NoticeQueue* queue) { g_notice_queue.store(queue); }

int UI_IPC::Send(PObject msg, const char* open_failure) {
  NoticeQueue* queue = g_notice_queue.load();
  if (queue != nullptr) return queue->Post(std::move(msg), open_failure);
  return Deliver(msg, open_failure, nullptr);
}

int UI_IPC::Deliver(const PObject& msg, const char* open_failure, const std::atomic<int>* abort) {
  Channel ch;
  ch.SetTimeout(kSendTimeout);
  ch.SetFlag(abort);
  if (ch.Open("127.0.0.1", Settings::getInstance().getUIPort()) != 0) {
    TW_LOG_ERROR(Comp(), "ui-ipc", "%s\n", open_failure);
    return -1;
  }
  PStream stream;
  if (stream.Send(ch, msg) != 0) {
    TW_LOG_ERROR(Comp(), "ui-ipc", "send req failed\n");
    ch.Close();
    return -1;
  }
  ch.Close();
  return 0;
}

int UI_IPC::ReportConnectionErrorToUI(int connection_id, int error) {
  PObject msg;
  msg["notify"] = "error";
  msg["connection_id"] = connection_id;
  msg["error_type"] = error;
  return Send(std::move(msg), "Open ui socket failed");
}

int UI_IPC::ReportSessionErrorToUI(uint64_t sess_id, int error) {
  PObject msg;
  msg["notify"] = "error";
  msg["session_id"] = static_cast<unsigned long long>(sess_id);
  msg["error_type"] = error;
  return Send(std::move(msg), "Open ui socket failed");
}

int UI_IPC::ReportFileLockedEventToUI(const FileItem& item, int error) {
  PObject msg = FileNotice("locked_file", item);
  PObject detail;
  detail["reason"] = "file locked";
  detail["code"] = error;
  msg["error"] = detail;
  return Send(std::move(msg), "Open ui channel failed");
}

int UI_IPC::ReportFileEventToUI(const FileItem& item) {
  PObject msg = FileNotice("recent_file", item);
  msg["event_type"] = item.event_type;
  return Send(std::move(msg), "Open ui channel failed");
}

int UI_IPC::ReportFileSyncingEventToUI(const FileItem& item) {
  PObject msg = FileNotice("syncing_file", item);
  msg["event_type"] = item.event_type;
  return Send(std::move(msg), "Open ui channel failed");
}

int UI_IPC::LastBreath() {
  PObject msg;
  msg["action"] = "connection_terminate";
  return Send(std::move(msg), "Open ui channel failed");
}

int UI_IPC::Open(int socket) { return m_channel.Open(socket, true); }

int UI_IPC::Recv(PObject& obj) {
  PStream stream;
  return stream.Recv(m_channel, obj);
}

void UI_IPC::Destroy() { m_channel.Close(); }

}  // namespace tidewell
