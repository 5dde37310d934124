#include "sync/removal_guard.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <iterator>
#include <string_view>
#include <utility>

#include "base/config.h"
#include "base/error_code.h"
#include "events/event_manager.h"
#include "platform/durable_replace.h"
#include "platform/file_stat.h"
#include "platform/session_fs.h"
#include "session/session_state.h"
#include "sync/sync_env.h"
#include "sync/sync_log.h"

namespace tidewell {

namespace {

// Confirmed removals are let through once within this time.
constexpr auto kReleaseLifetime = std::chrono::minutes(10);

std::string Hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 0xF];
  }
  return out;
}

ustring IdentityFile(const Registry::Entry& entry) {
  return ustring(std::string(entry.config_path.utf8_view()) + "/db/" + RemovalGuard::kIdentityName);
}

ustring MarkerRel() {
  return ustring(std::string("/") + kWorkingFolderName + "/" + RemovalGuard::kMarkerName);
}

unsigned long long U(uint64_t v) { return static_cast<unsigned long long>(v); }

}  // namespace

RemovalGuard::RemovalGuard(Registry& registry, EventManager& events, SessionStateTable& state,
                           EngineNotices& notices)
    : registry_(registry), events_(events), state_(state), notices_(notices) {}

void RemovalGuard::SetWindow(std::chrono::milliseconds window) {
  std::lock_guard<std::mutex> lock(mutex_);
  window_ = window;
}

// --- the session folder -------------------------------------------------------

int RemovalGuard::CheckRoot(const Registry::Entry& entry) {
  std::string reason;
  if (ExamineRoot(entry, reason) != 0) {
    RootIsLost(entry, reason);
    return -1;
  }
  bool was_lost;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(entry.sess_id);
    was_lost = it != sessions_.end() && it->second.root_lost;
  }
  if (was_lost) RootIsBack(entry);
  return 0;
}

int RemovalGuard::ExamineRoot(const Registry::Entry& entry, std::string& reason) {
  const std::string root(entry.local_path.utf8_view());
  uint64_t dev = 0;
  uint64_t ino = 0;
  int rc = FSDirIdentity(entry.local_path, dev, ino);
  if (rc == -ENOENT) {
    reason = "the session folder is missing";
    return -1;
  }
  if (rc == -ENOTDIR) {
    reason = "the session folder is not a folder";
    return -1;
  }
  if (rc < 0) {
    reason = "the session folder cannot be examined: " + SessionFsErrorString(rc);
    return -1;
  }

  Identity known;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = identities_.find(entry.sess_id);
    if (it != identities_.end()) known = it->second;
  }
  if (!known.known) {
    std::map<ustring, ustring> kv;
    if (ReadConfigFile(IdentityFile(entry), kv) == 0) {
      known.path = std::string(kv[ustring("path_hex")].utf8_view());
      known.known = !known.path.empty();
      known.dev = static_cast<uint64_t>(strtoull(kv[ustring("dev")].c_str_utf8(), nullptr, 10));
      known.ino = static_cast<uint64_t>(strtoull(kv[ustring("ino")].c_str_utf8(), nullptr, 10));
    }
  }
  // A session seen for the first time, or moved to another folder by its
  // owner: this folder is the session's from now on.
  if (!known.known || known.path != Hex(root)) return Adopt(entry, reason);

  if (known.dev != dev || known.ino != ino) {
    reason = "the session folder is no longer the folder the session was set up on (another disk or folder under its name)";
    return -1;
  }

  SessionFs fs;
  if ((rc = fs.Open(entry.local_path)) < 0) {
    reason = "the session folder cannot be opened: " + SessionFsErrorString(rc);
    return -1;
  }
  FILE_INFO work;
  rc = fs.Stat(ustring(std::string("/") + kWorkingFolderName), work);
  if (rc < 0 || !work.isExist || work.type != FT_DIR) {
    reason = "its working folder is missing";
    return -1;
  }
  FILE_INFO marker;
  if (fs.Stat(MarkerRel(), marker) == 0 && marker.isExist) {
    std::lock_guard<std::mutex> lock(mutex_);
    identities_[entry.sess_id] = known;
    return 0;
  }
  // The marker went with the working folder. With the rest of the folder
  // still there, only the working folder was deleted (and made again); a
  // folder that holds nothing else was emptied as a whole.
  std::vector<SessionDirEntry> names;
  if ((rc = fs.List(ustring("/"), names)) < 0) {
    reason = "the session folder cannot be listed: " + SessionFsErrorString(rc);
    return -1;
  }
  bool has_content = false;
  for (const SessionDirEntry& n : names)
    if (n.name != kWorkingFolderName) has_content = true;
  if (!has_content) {
    reason = "the session folder was emptied together with its working folder";
    return -1;
  }
  WK_LOG_WARNING("RemovalGuard: the working folder of session %llu in '%s' was made anew; marking it again\n",
                 U(entry.sess_id), root.c_str());
  return Adopt(entry, reason);
}

int RemovalGuard::Adopt(const Registry::Entry& entry, std::string& reason) {
  const std::string root(entry.local_path.utf8_view());
  uint64_t dev = 0;
  uint64_t ino = 0;
  int rc = FSDirIdentity(entry.local_path, dev, ino);
  SessionFs fs;
  if (rc == 0) rc = fs.Open(entry.local_path);
  if (rc < 0) {
    reason = "the session folder cannot be opened: " + SessionFsErrorString(rc);
    return -1;
  }
  FILE_INFO work;
  rc = fs.Stat(ustring(std::string("/") + kWorkingFolderName), work);
  if (rc < 0 || !work.isExist || work.type != FT_DIR) {
    reason = "its working folder is missing";
    return -1;
  }
  UniqueFd fd;
  rc = fs.Create(MarkerRel(), false, 0644, fd);
  if (rc == 0) {
    std::string text = std::to_string(entry.sess_id) + "\n";
    rc = WriteAll(fd.get(), text.data(), text.size());
    if (rc == 0 && fsync(fd.get()) != 0) rc = -1;
  }
  if (rc != 0)
    WK_LOG_WARNING("RemovalGuard: cannot write the marker of session %llu in '%s' (%d)\n", U(entry.sess_id),
                   root.c_str(), rc);
  char text[160];
  std::snprintf(text, sizeof text, "dev = %llu\nino = %llu\n", U(dev), U(ino));
  std::string content = "path_hex = " + Hex(root) + "\n" + text;
  if (DurableReplaceContent(IdentityFile(entry), content) != 0)
    WK_LOG_WARNING("RemovalGuard: cannot record the folder of session %llu in '%s'\n", U(entry.sess_id),
                   IdentityFile(entry).c_str_utf8());
  WK_LOG_INFO("RemovalGuard: session %llu keeps its files in '%s' (device %llu, inode %llu)\n", U(entry.sess_id),
              root.c_str(), U(dev), U(ino));
  std::lock_guard<std::mutex> lock(mutex_);
  identities_[entry.sess_id] = Identity{true, Hex(root), dev, ino};
  return 0;
}

void RemovalGuard::RootIsLost(const Registry::Entry& entry, const std::string& reason) {
  bool first;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Session& s = sessions_[entry.sess_id];
    first = !s.root_lost;
    s.root_lost = true;
  }
  const std::string text = "Session folder '" + std::string(entry.local_path.utf8_view()) + "': " + reason +
                           "; nothing is removed, uploaded or rescanned until it is back or the removals are confirmed";
  state_.SetError(entry.sess_id, ustring(text));
  if (first) {
    WK_LOG_ERROR("RemovalGuard: session %llu stopped: %s\n", U(entry.sess_id), text.c_str());
    notices_.SessionError(entry.sess_id, ERR_SYNCFOLDER_MISS);
  }
}

void RemovalGuard::RootIsBack(const Registry::Entry& entry) {
  std::vector<Event> again;
  bool holding;
  ustring held_text;
  size_t held_items;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Session& s = sessions_[entry.sess_id];
    if (!s.root_lost) return;
    s.root_lost = false;
    std::vector<Held> keep;
    for (Held& h : s.held) {
      if (h.for_root) {
        again.push_back(h.event);
        s.held_paths.erase(std::string(h.event.m_path.utf8_view()));
      } else {
        keep.push_back(std::move(h));
      }
    }
    s.held = std::move(keep);
    holding = s.holding;
    held_items = s.held_items;
    held_text = HeldText(entry, s);
  }
  WK_LOG_NOTE("RemovalGuard: the folder '%s' of session %llu is usable again; %zu kept removals are judged again\n",
              entry.local_path.c_str_utf8(), U(entry.sess_id), again.size());
  if (holding)
    state_.SetHeld(entry.sess_id, held_items, held_text);
  else
    state_.SetOk(entry.sess_id);
  for (const Event& e : again) events_.PushLocalEvent(e);
  events_.IssueRescan(entry.sess_id, ustring("/"), false);
}

// --- removals -------------------------------------------------------------------

void RemovalGuard::PruneLocked(Session& s, Clock::time_point now) {
  while (!s.window.empty() && now - s.window.front().first > window_) {
    s.window_items -= s.window.front().second;
    s.window.pop_front();
  }
  for (auto it = s.released.begin(); it != s.released.end();) {
    if (now - it->second > kReleaseLifetime)
      it = s.released.erase(it);
    else
      ++it;
  }
}

bool RemovalGuard::HoldLocked(Session& s, const Event& e, uint64_t items, bool for_root) {
  std::string path(e.m_path.utf8_view());
  if (!s.held_paths.insert(path).second) return false;
  s.held.push_back(Held{e, items, for_root});
  if (!for_root) s.held_items += items;
  return true;
}

ustring RemovalGuard::HeldText(const Registry::Entry& entry, const Session& s) {
  char before[96] = "";
  if (s.window_before != 0)
    std::snprintf(before, sizeof before, "with the %llu items removed in the last minute ", U(s.window_before));
  char text[768];
  std::snprintf(text, sizeof text,
                "Holding back %zu removals in '%s': %sthey would delete %llu of its %llu synchronised items on the "
                "server, more than half. Confirm the removals to send them.",
                s.held.size(), entry.local_path.c_str_utf8(), before, U(s.window_before + s.held_items),
                U(s.seen_items));
  return ustring(text);
}

RemovalGuard::Verdict RemovalGuard::AdmitRemoval(const Registry::Entry& entry, const Event& e, uint64_t items,
                                                 uint64_t session_items) {
  if (CheckRoot(entry) != 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    HoldLocked(sessions_[entry.sess_id], e, items, true);
    return kRootLost;
  }
  const auto now = Clock::now();
  ustring text;
  uint64_t held_items = 0;
  bool began = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Session& s = sessions_[entry.sess_id];
    PruneLocked(s, now);
    // A confirmed removal goes without counting until it has been sent.
    if (s.released.count(std::string(e.m_path.utf8_view())) != 0) return kSend;
    if (!s.holding) {
      const uint64_t would = s.window_items + items;
      const uint64_t base = session_items + s.window_items;  // the window's removals are no longer recorded
      if (would <= kMinimumItems || would * 2 <= base) {
        s.window.emplace_back(now, items);
        s.window_items += items;
        return kSend;
      }
      s.holding = true;
      s.seen_items = base;
      s.window_before = s.window_items;
      began = true;
    }
    HoldLocked(s, e, items, false);
    held_items = s.held_items;
    text = HeldText(entry, s);
  }
  state_.SetHeld(entry.sess_id, held_items, text);
  if (began) {
    WK_LOG_ERROR("RemovalGuard: session %llu: %s (from '%s' on)\n", U(entry.sess_id), text.c_str_utf8(),
                 e.m_path.c_str_utf8());
    notices_.SessionError(entry.sess_id, ERR_CONFLICT);
  }
  return kHeld;
}

void RemovalGuard::Sent(uint64_t sess_id, const ustring& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = sessions_.find(sess_id);
  if (it != sessions_.end()) it->second.released.erase(std::string(path.utf8_view()));
}

void RemovalGuard::Withdraw(uint64_t sess_id, const ustring& path, uint64_t items) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = sessions_.find(sess_id);
  if (it == sessions_.end()) return;
  Session& s = it->second;
  if (s.released.count(std::string(path.utf8_view())) != 0) return;  // it was not counted
  for (auto w = s.window.rbegin(); w != s.window.rend(); ++w) {
    if (w->second == items) {
      s.window_items -= items;
      s.window.erase(std::next(w).base());
      return;
    }
  }
}

RemovalGuard::Verdict RemovalGuard::AdmitRescan(const Registry::Entry& entry, const std::vector<Event>& removals,
                                                uint64_t session_items) {
  if (CheckRoot(entry) != 0) return kRootLost;
  if (removals.empty()) return kSend;
  ustring text;
  uint64_t held_items = 0;
  bool began = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Session& s = sessions_[entry.sess_id];
    PruneLocked(s, Clock::now());
    // Removals the user already confirmed do not count again.
    uint64_t count = 0;
    for (const Event& e : removals)
      if (s.released.count(std::string(e.m_path.utf8_view())) == 0) ++count;
    if (!s.holding) {
      if (count <= kMinimumItems || count * 2 <= session_items) return kSend;
      s.holding = true;
      s.seen_items = session_items;
      s.window_before = 0;
      began = true;
    }
    for (const Event& e : removals)
      if (s.released.count(std::string(e.m_path.utf8_view())) == 0) HoldLocked(s, e, 1, false);
    held_items = s.held_items;
    text = HeldText(entry, s);
  }
  state_.SetHeld(entry.sess_id, held_items, text);
  if (began) {
    WK_LOG_ERROR("RemovalGuard: session %llu: rescan of '%s': %s\n", U(entry.sess_id),
                 entry.local_path.c_str_utf8(), text.c_str_utf8());
    notices_.SessionError(entry.sess_id, ERR_CONFLICT);
  }
  return kHeld;
}

int RemovalGuard::ConfirmRemovals(uint64_t sess_id) {
  Registry::Entry entry;
  if (registry_.Find(sess_id, entry) != 1) return -1;
  bool lost;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lost = sessions_[sess_id].root_lost;
  }
  std::string reason;
  bool adopted = false;
  if (lost && ExamineRoot(entry, reason) != 0) {
    // The user takes the folder as it is now for the session's folder.
    if (Adopt(entry, reason) != 0) {
      WK_LOG_ERROR("RemovalGuard: session %llu: cannot accept '%s' as its folder: %s\n", U(sess_id),
                   entry.local_path.c_str_utf8(), reason.c_str());
      RootIsLost(entry, reason);
      return 0;
    }
    adopted = true;
  }
  std::vector<Event> released;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Session& s = sessions_[sess_id];
    const auto now = Clock::now();
    for (Held& h : s.held) {
      s.released[std::string(h.event.m_path.utf8_view())] = now;
      released.push_back(h.event);
    }
    s.held.clear();
    s.held_paths.clear();
    s.held_items = 0;
    s.holding = false;
    s.root_lost = false;
    s.window.clear();
    s.window_items = 0;
  }
  state_.SetState(sess_id, SessionStateTable::kOk);
  WK_LOG_NOTE("RemovalGuard: session %llu: the user confirmed %zu held removals%s\n", U(sess_id), released.size(),
              adopted ? " and the session folder as it is now" : "");
  for (const Event& e : released) events_.PushLocalEvent(e);
  if (adopted) events_.IssueRescan(sess_id, ustring("/"), false);
  return static_cast<int>(released.size());
}

size_t RemovalGuard::HeldRemovals(uint64_t sess_id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = sessions_.find(sess_id);
  return it == sessions_.end() ? 0 : it->second.held.size();
}

bool RemovalGuard::RootLost(uint64_t sess_id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = sessions_.find(sess_id);
  return it != sessions_.end() && it->second.root_lost;
}

void RemovalGuard::Forget(uint64_t sess_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.erase(sess_id);
  identities_.erase(sess_id);
}

}  // namespace tidewell
