// Notices the daemon sends to the user interface on its own initiative:
// connection and session errors, locked files, files just synchronised and
// files about to be. Each notice is one value map sent over a fresh loopback
// connection to the port of the setting "ui_port"; nothing is read back and
// nothing is repeated: a notice the user interface does not take is lost
// (and logged).
//
// The daemon installs a NoticeQueue (SetNoticeQueue): the notices are then
// only filed by the reporting thread and sent, coalesced when they flood,
// by the queue's thread. Without a queue they are sent on the caller's
// thread.
//
// The static notices may be called from any thread. An instance wraps one
// accepted connection (Open/Recv/Destroy) and belongs to one thread.
//
// The file notices take a FileItem rather than an event, so that this layer
// stays below the event queue; events/event_notice.h makes one from an
// event.

#ifndef TIDEWELL_SESSION_UI_IPC_H_
#define TIDEWELL_SESSION_UI_IPC_H_

#include <atomic>
#include <cstdint>

#include "base/ustring.h"
#include "net/channel.h"

namespace tidewell {

class NoticeQueue;
class PObject;

class UI_IPC {
 public:
  // The item a file notice is about.
  struct FileItem {
    uint64_t sess_id = 0;
    ustring path;  // relative to the session root, starting with "/"
    bool is_dir = false;
    int event_type = 0;  // 0 none, 1 created, 2 removed, 3 modified, 4 renamed
  };

  UI_IPC() = default;
  UI_IPC(const UI_IPC&) = delete;
  UI_IPC& operator=(const UI_IPC&) = delete;

  // Every notice goes through `queue` from now on; null sends on the
  // caller's thread again. The queue must stay alive until it has been
  // replaced and no thread can still be reporting.
  static void SetNoticeQueue(NoticeQueue* queue);

  // Sends one notice now, on the calling thread; gives up early when
  // `abort` (may be null) is raised. 0 sent, -1 not (logged with
  // `open_failure` when no connection could be made).
  static int Deliver(const PObject& msg, const char* open_failure, const std::atomic<int>* abort);

  // The reports below return 0 when the notice was sent (or, with a queue,
  // accepted for sending) and -1 when it was not.
  // {"notify": "error", "connection_id", "error_type"}.
  static int ReportConnectionErrorToUI(int connection_id, int error);
  // {"notify": "error", "session_id", "error_type"}.
  static int ReportSessionErrorToUI(uint64_t sess_id, int error);
  // {"notify": "locked_file", "session_id", "path", "is_dir",
  //  "error": {"reason": "file locked", "code"}}.
  static int ReportFileLockedEventToUI(const FileItem& item, int error);
  // {"notify": "recent_file", "session_id", "path", "is_dir", "event_type"}.
  static int ReportFileEventToUI(const FileItem& item);
  // As ReportFileEventToUI with "notify" = "syncing_file".
  static int ReportFileSyncingEventToUI(const FileItem& item);
  // {"action": "connection_terminate"}.
  static int LastBreath();

  // Adopts an accepted connection; 0 or a negative code.
  [[nodiscard]] int Open(int socket);
  // Decodes one value from the connection; 0 or a negative code.
  [[nodiscard]] int Recv(PObject& obj);
  void Destroy();

 private:
  // Hands `msg` to the installed queue, or delivers it at once.
  static int Send(PObject msg, const char* open_failure);

  Channel m_channel;
};

}  // namespace tidewell

#endif  // TIDEWELL_SESSION_UI_IPC_H_
