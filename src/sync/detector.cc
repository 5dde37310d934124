// The detector task: watches, its loop and the periodic fallback rescans.
// Turning notices into events is in detector_translate.cc.

#include "sync/detector.h"

#include <string>

#include "base/error_code.h"
#include "base/log.h"
#include "base/settings.h"
#include "events/event_manager.h"
#include "platform/dir_make.h"
#include "platform/file_stat.h"
#include "session/registry.h"

namespace tidewell {
namespace {

const ustring& Comp() {
  static const ustring component("detector_debug");
  return component;
}

constexpr int kPollMs = 1000;

}  // namespace

Detector::Detector(EventManager& manager, Registry& registry, size_t max_watches)
    : manager_(manager),
      registry_(registry),
      max_watches_(max_watches),
      settle_delay_(Settings::getInstance().getSettleDelayMs()) {}

Detector::Detector() : Detector(EventManager::getInstance(), Registry::getInstance()) {}

Detector::~Detector() {
  StopAndJoin();
  Clear();
}

int Detector::Pause() {
  Task::Pause();
  wakeup_.Signal();
  return 0;
}

int Detector::Resume() {
  Task::Resume();
  wakeup_.Signal();
  return 0;
}

int Detector::Stop() {
  Task::Stop();
  wakeup_.Signal();
  return 0;
}

void Detector::SetDegradedRescanInterval(int seconds) {
  std::lock_guard<std::mutex> lock(lock_);
  degraded_interval_ = std::chrono::seconds(seconds);
}

void Detector::SetSettleDelay(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(lock_);
  settle_delay_ = delay;
  for (auto& [id, s] : index_) s->settle.SetDelay(delay);
  wakeup_.Signal();
}

bool Detector::IsRecycleBin(const ustring& path) {
  return path.utf8_view() == std::string("/") + kWorkingDirectory + "/" + kRecycleBin;
}

bool Detector::IsFromWorkingDirectory(const ustring& name) {
  std::string_view n = name.utf8_view();
  if (!n.empty() && n.front() == '/') n.remove_prefix(1);
  std::string_view wd = kWorkingDirectory;
  if (n.substr(0, wd.size()) != wd) return false;
  return n.size() == wd.size() || n[wd.size()] == '/';
}

int Detector::CreateWorkingDirectory(const ustring& root) {
  TW_LOG_DEBUG(Comp(), "detector", "creating working directory under %s\n", root.c_str_utf8());
  ustring work = root + "/" + kWorkingDirectory;
  // Dot names are hidden already; nothing else marks a folder hidden here.
  if (FSMKDir(work, false) != 0) return -1;
  if (FSMKDir(work + "/" + kRecycleBin, false) != 0) return -1;
  return 0;
}

int Detector::AddWatch(const ustring& path, uint64_t sess_id) {
  TW_LOG_DEBUG(Comp(), "detector", "Detector add watch: %s\n", path.c_str_utf8());
  auto s = std::make_unique<Session>();
  s->sess_id = sess_id;
  s->root = path;
  {
    std::lock_guard<std::mutex> lock(lock_);
    s->settle.SetDelay(settle_delay_);
  }
  s->tree = std::make_unique<InotifyTree>(
      [](std::string_view rel) {
        // The working folder itself is watched, so that losing the recycle
        // folder is noticed, but nothing below it.
        return rel == std::string_view("/.VeltronaWorkingDirectory") ? InotifyTree::kShallow
                                                                     : InotifyTree::kDescend;
      },
      max_watches_);
  if (CreateWorkingDirectory(path) != 0) {
    TW_LOG_ERROR(Comp(), "detector", "Failed to create the working directory under %s\n",
                 path.c_str_utf8());
  }
  int r = s->tree->Open(std::string(path.utf8_view()));
  if (r < 0) {
    TW_LOG_ERROR(Comp(), "detector", "Cannot watch %s for session #%llu: %s\n",
                 path.c_str_utf8(), static_cast<unsigned long long>(sess_id), GetErrorString(r));
    return -1;
  }
  std::lock_guard<std::mutex> lock(lock_);
  CheckLimitLocked(*s);
  index_[sess_id] = std::move(s);
  wakeup_.Signal();
  return 0;
}

void Detector::RemoveWatch(uint64_t sess_id) {
  std::lock_guard<std::mutex> lock(lock_);
  index_.erase(sess_id);
  wakeup_.Signal();
}

void Detector::Clear() {
  std::lock_guard<std::mutex> lock(lock_);
  for (auto& [id, s] : index_) {
    TW_LOG_DEBUG(Comp(), "detector", "session #%llu (%s) down\n",
                 static_cast<unsigned long long>(id), s->root.c_str_utf8());
  }
  index_.clear();
  wakeup_.Signal();
}

void Detector::CheckLimitLocked(Session& s) {
  if (s.degraded || !s.tree->watch_limit_reached()) return;
  s.degraded = true;
  s.next_rescan = std::chrono::steady_clock::now() + degraded_interval_;
  TW_LOG_ERROR(Comp(), "detector",
               "The system's limit of inotify watches is reached: session #%llu (%s) has %zu "
               "folders watched, the others are not. Raise fs.inotify.max_user_watches; until "
               "then the session is rescanned every %lld seconds.\n",
               static_cast<unsigned long long>(s.sess_id), s.root.c_str_utf8(),
               s.tree->watch_count(), static_cast<long long>(degraded_interval_.count()));
}

void Detector::RescanDegradedLocked(Session& s) {
  if (!s.degraded || std::chrono::steady_clock::now() < s.next_rescan) return;
  s.tree->AddMissingWatches();
  if (!s.tree->watch_limit_reached()) {
    s.degraded = false;
    TW_LOG_NOTE(Comp(), "detector",
                "Every folder of session #%llu (%s) is watched again; periodic rescans stop.\n",
                static_cast<unsigned long long>(s.sess_id), s.root.c_str_utf8());
  } else {
    s.next_rescan = std::chrono::steady_clock::now() + degraded_interval_;
  }
  manager_.IssueRescan(s.sess_id, ustring("/"), false);
}

void Detector::ReopenLocked(Session& s) {
  const auto now = std::chrono::steady_clock::now();
  if (now < s.next_root_check) return;
  s.next_root_check = now + std::chrono::milliseconds(kPollMs);
  FILE_INFO root, work;
  if (FSStat(s.root, root, false) != 0 || !root.isExist || root.type != FT_DIR) return;
  if (FSStat(s.root + "/" + kWorkingDirectory, work, false) != 0 || !work.isExist || work.type != FT_DIR) return;
  int r = s.tree->Open(std::string(s.root.utf8_view()));
  if (r < 0) {
    TW_LOG_ERROR(Comp(), "detector", "The folder %s of session #%llu is back but cannot be watched: %s\n",
                 s.root.c_str_utf8(), static_cast<unsigned long long>(s.sess_id), GetErrorString(r));
    return;
  }
  TW_LOG_NOTE(Comp(), "detector", "The folder %s of session #%llu is back; watching it again.\n", s.root.c_str_utf8(),
              static_cast<unsigned long long>(s.sess_id));
  CheckLimitLocked(s);
  // What changed while it was away was not seen.
  manager_.IssueRescan(s.sess_id, ustring("/"), false);
}

void Detector::ServeLocked(Session& s) {
  std::vector<InotifyTree::Notice> notices;
  int r = s.tree->Read(notices);
  if (r < 0) {
    TW_LOG_ERROR(Comp(), "detector", "Reading notifications of %s failed: %s\n",
                 s.root.c_str_utf8(), GetErrorString(r));
  }
  for (const InotifyTree::Notice& n : notices) {
    HandleLocked(s, n);
    if (s.tree->fd() < 0) break;  // the root went away
  }
  FlushMoveLocked(s);
  if (s.tree->fd() >= 0) CheckLimitLocked(s);
}

void Detector::DoTask() {
  TW_LOG_DEBUG(Comp(), "detector", "detector start\n");
  std::vector<int> fds;
  std::vector<uint64_t> ids;
  std::vector<bool> ready;
  for (;;) {
    State state = GetState();
    if (state == STOP) break;
    if (state == PAUSE) {
      WaitReadable({wakeup_.fd()}, kPollMs, ready);
      wakeup_.Drain();
      continue;
    }
    fds.assign(1, wakeup_.fd());
    ids.assign(1, 0);
    {
      std::lock_guard<std::mutex> lock(lock_);
      for (auto& [id, s] : index_) {
        if (s->tree->fd() < 0) continue;
        fds.push_back(s->tree->fd());
        ids.push_back(id);
      }
    }
    int wait_ms = kPollMs;
    {
      std::lock_guard<std::mutex> lock(lock_);
      wait_ms = NextSettleWaitLocked(kPollMs);
    }
    if (fds.size() == 1) TW_LOG_DEBUG(Comp(), "detector", "No watch folder.\n");
    int n = WaitReadable(fds, wait_ms, ready);
    if (n < 0) {
      TW_LOG_ERROR(Comp(), "detector", "Waiting for notifications failed: %s\n", GetErrorString(n));
      continue;
    }
    if (ready[0]) wakeup_.Drain();
    std::lock_guard<std::mutex> lock(lock_);
    for (size_t i = 1; i < fds.size(); ++i) {
      if (!ready[i]) continue;
      auto it = index_.find(ids[i]);
      // A watch replaced or removed meanwhile has another descriptor.
      if (it == index_.end() || it->second->tree->fd() != fds[i]) continue;
      ServeLocked(*it->second);
    }
    for (auto& [id, s] : index_) {
      if (s->tree->fd() < 0) {
        ReopenLocked(*s);
        continue;
      }
      SettleLocked(*s);
      RescanDegradedLocked(*s);
    }
  }
  TW_LOG_DEBUG(Comp(), "detector", "detector stop\n");
}

}  // namespace tidewell
