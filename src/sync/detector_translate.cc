// The detector's translation of folder-change notices into local events.

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "base/log.h"
#include "db/file_event_db.h"
#include "events/event_manager.h"
#include "platform/file_stat.h"
#include "session/registry.h"
#include "sync/detector.h"

namespace tidewell {
namespace {

const ustring& Comp() {
  static const ustring component("detector_debug");
  return component;
}

const char* KindName(InotifyTree::Notice::Kind k) {
  switch (k) {
    case InotifyTree::Notice::kCreated: return "CREATED";
    case InotifyTree::Notice::kModified: return "MODIFIED";
    case InotifyTree::Notice::kDeleted: return "DELETED";
    case InotifyTree::Notice::kMovedFrom: return "MOVED_FROM";
    case InotifyTree::Notice::kMovedTo: return "MOVED_TO";
    case InotifyTree::Notice::kOverflow: return "OVERFLOW";
    case InotifyTree::Notice::kRootGone: return "ROOT_GONE";
  }
  return "UNKNOWN";
}

Event LocalEvent(Event::Type type, const std::string& path) {
  Event e;
  e.m_type = type;
  e.m_path = path;
  return e;
}

}  // namespace

void Detector::HandleLocked(Session& s, const InotifyTree::Notice& n) {
  using Notice = InotifyTree::Notice;
  TW_LOG_DEBUG(Comp(), "detector", "Notification: %s%s %s\n", KindName(n.kind),
               n.is_dir ? " (dir)" : "", n.path.c_str());
  if (n.kind == Notice::kRootGone) s.has_pending_move = false;  // see below
  if (n.kind != Notice::kMovedTo) FlushMoveLocked(s);

  switch (n.kind) {
    case Notice::kOverflow:
      TW_LOG_INFO(Comp(), "detector", "Event queue overflow, rescan watch\n");
      s.tree->AddMissingWatches();
      manager_.IssueRescan(s.sess_id, ustring("/"), false);
      return;
    case Notice::kRootGone:
      // Reporting the folder's contents as removed would delete them on the
      // server; the session has lost its folder and must be looked at.
      TW_LOG_ERROR(Comp(), "detector",
                   "The folder %s of session #%llu is gone; its changes are no longer watched.\n",
                   s.root.c_str_utf8(), static_cast<unsigned long long>(s.sess_id));
      s.tree->Close();
      return;
    default:
      break;
  }

  ustring path(n.path);
  if (IsFromWorkingDirectory(path)) {
    bool lost = n.kind == Notice::kDeleted || n.kind == Notice::kMovedFrom;
    if (lost && (n.path == std::string("/") + kWorkingDirectory || IsRecycleBin(path))) {
      TW_LOG_INFO(Comp(), "detector", "recreating working directory (%d)\n", n.kind);
      CreateWorkingDirectory(s.root);
    }
    TW_LOG_DEBUG(Comp(), "detector", "ignoring changes to %s\n", n.path.c_str());
    return;
  }

  if (n.kind == Notice::kDeleted || n.kind == Notice::kMovedFrom) ForgetLocked(s, n.path);

  Event e;
  switch (n.kind) {
    case Notice::kMovedFrom:
      TW_LOG_DEBUG(Comp(), "detector", "hide rename event (%s)\n", n.path.c_str());
      s.pending_move = n;
      s.has_pending_move = true;
      return;
    case Notice::kMovedTo:
      if (s.has_pending_move && s.pending_move.cookie == n.cookie) {
        e = LocalEvent(Event::EV_RENAME, s.pending_move.path);
        e.m_opt = n.path;
        s.has_pending_move = false;
      } else {
        FlushMoveLocked(s);  // that one left the tree; this one came in
        e = LocalEvent(Event::EV_CREATE, n.path);
      }
      break;
    case Notice::kCreated:
      e = LocalEvent(Event::EV_CREATE, n.path);
      break;
    case Notice::kModified:
      e = LocalEvent(Event::EV_MODIFY, n.path);
      break;
    case Notice::kDeleted:
      e = LocalEvent(Event::EV_REMOVE, n.path);
      break;
    default:
      return;
  }
  if (!TranslateLocked(s, e, n.kind == Notice::kDeleted)) return;
  if (e.IsFile() && e.m_type != Event::EV_REMOVE && e.m_type != Event::EV_RENAME) {
    if (n.kind == Notice::kCreated || (n.kind == Notice::kModified && !n.closed_write)) {
      // Its writer may still be at work: wait for the close or for quiet.
      if (HoldLocked(s, e)) return;
    } else if (s.settle.Release(n.path)) {
      TW_LOG_DEBUG(Comp(), "detector", "%s was closed after writing, handing it on\n", n.path.c_str());
    }
  }
  PushEventLocked(e);
}

bool Detector::HoldLocked(Session& s, const Event& e) {
  const std::string path(e.m_path.utf8_view());
  FileStamp stamp;
  if (FSStamp(s.root + e.m_path, stamp) != 0 || !stamp.exists) return false;
  if (!s.settle.IsHeld(path)) {
    TW_LOG_DEBUG(Comp(), "detector", "holding %s until its writer closes it or it stays unchanged\n",
                 path.c_str());
  }
  s.settle.Hold(path, e.m_type, stamp, std::chrono::steady_clock::now());
  return true;
}

void Detector::SettleLocked(Session& s) {
  if (s.settle.size() == 0) return;
  std::vector<SettleQueue::StillChanging> changing;
  auto settled = s.settle.TakeSettled(
      std::chrono::steady_clock::now(),
      [&s](const std::string& path, FileStamp& stamp) { return FSStamp(s.root + path, stamp); }, &changing);
  for (const auto& c : changing) {
    TW_LOG_DEBUG(Comp(), "detector", "%s is still changing; looking again in %lld ms\n", c.path.c_str(),
                 static_cast<long long>(c.next_wait.count()));
  }
  for (const auto& done : settled) {
    TW_LOG_DEBUG(Comp(), "detector", "%s has settled, handing it on\n", done.path.c_str());
    Event e = LocalEvent(done.type, done.path);
    e.m_sess_id = s.sess_id;
    PushEventLocked(e);
  }
}

void Detector::SkipLocked(Session& s, const std::string& path, FILE_TYPE type) {
  if (!s.skipped.insert(path).second) return;
  const char* what = type == FT_SLINK  ? "a symbolic link"
                     : type == FT_FIFO ? "a FIFO"
                     : type == FT_SOCK ? "a socket"
                     : type == FT_DEV  ? "a device node"
                                       : "neither a file nor a folder";
  TW_LOG_INFO(Comp(), "detector", "Skipping %s%s in session #%llu: it is %s, which is not synchronised\n",
              s.root.c_str_utf8(), path.c_str(), static_cast<unsigned long long>(s.sess_id), what);
}

void Detector::ForgetLocked(Session& s, const std::string& path) {
  s.settle.Release(path);
  s.skipped.erase(path);
  // A folder that went takes what was below it (a held file then simply
  // finds nothing when it is looked at again).
  const std::string prefix = path + "/";
  for (auto it = s.skipped.lower_bound(prefix); it != s.skipped.end() && it->compare(0, prefix.size(), prefix) == 0;)
    it = s.skipped.erase(it);
}

int Detector::NextSettleWaitLocked(int cap) const {
  auto next = std::chrono::steady_clock::time_point::max();
  for (const auto& [id, s] : index_) next = std::min(next, s->settle.NextDue());
  if (next == std::chrono::steady_clock::time_point::max()) return cap;
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - std::chrono::steady_clock::now()).count();
  if (ms < 0) return 0;
  return ms < cap ? static_cast<int>(ms) + 1 : cap;
}

// A first half of a move with no second half: the item left the tree.
void Detector::FlushMoveLocked(Session& s) {
  if (!s.has_pending_move) return;
  s.has_pending_move = false;
  Event e = LocalEvent(Event::EV_REMOVE, s.pending_move.path);
  if (TranslateLocked(s, e, true)) PushEventLocked(e);
}

bool Detector::KindFromDatabaseLocked(Session& s, Event& e) {
  Registry::Entry entry;
  if (registry_.Find(s.sess_id, entry) != 1) {
    TW_LOG_WARNING(Comp(), "detector", "can not find registry entry for session %llu \n",
                   static_cast<unsigned long long>(s.sess_id));
    return false;
  }
  ClientFileEventInfo info;
  if (entry.event_db == nullptr || entry.event_db->getEventInfo(e.m_path, info) != 1) {
    TW_LOG_ERROR(Comp(), "detector", "can't find file type of deleted item %s\n",
                 e.m_path.c_str_utf8());
    return false;
  }
  if (info.fileType != 0) e.m_mode |= Event::F_DIR;
  TW_LOG_DEBUG(Comp(), "detector", "file type of deleted item %s is %d\n",
               e.m_path.c_str_utf8(), info.fileType);
  return true;
}

bool Detector::TranslateLocked(Session& s, Event& e, bool item_gone) {
  e.m_sess_id = s.sess_id;
  // A rename is judged by the item at its new place.
  const ustring& where = e.m_type == Event::EV_RENAME ? e.m_opt : e.m_path;
  if (!item_gone) {
    _FILE_INFO_tag info;
    if (FSStat(s.root + where, info, false) != 0) return false;
    if (info.isExist) {
      if (info.type == FT_DIR) {
        e.m_mode |= Event::F_DIR;
        return e.m_type != Event::EV_MODIFY;  // a folder's own changes are not synced
      }
      if (info.type != FT_FILE) {
        SkipLocked(s, std::string(where.utf8_view()), info.type);
        if (e.m_type == Event::EV_RENAME) {
          // What was at the old name left it; only that can matter.
          Event removal = LocalEvent(Event::EV_REMOVE, std::string(e.m_path.utf8_view()));
          removal.m_sess_id = s.sess_id;
          if (KindFromDatabaseLocked(s, removal)) PushEventLocked(removal);
        }
        return false;
      }
      return true;
    }
  }
  if (e.m_type != Event::EV_RENAME)
    return KindFromDatabaseLocked(s, e) && !(e.m_type == Event::EV_MODIFY && e.IsDir());
  // Renamed and gone again: only what the database knew of it matters.
  Event removal = LocalEvent(Event::EV_REMOVE, std::string(e.m_path.utf8_view()));
  removal.m_sess_id = s.sess_id;
  if (KindFromDatabaseLocked(s, removal)) PushEventLocked(removal);
  return false;
}

void Detector::PushEventLocked(Event& e) {
  if (Logger::IsEnabled(Logger::L_DEBUG, Comp())) {
    ustring text = e.toString();
    TW_LOG_DEBUG(Comp(), "detector", "PushEvent: %s at %llu\n", text.c_str_utf8(),
                 static_cast<unsigned long long>(e.m_sess_id));
  }
  if (e.m_type == Event::EV_RENAME) {
    Event removal = e;
    removal.m_type = Event::EV_REMOVE;
    removal.m_opt.clear();
    manager_.PushLocalEvent(removal);
    e.m_type = Event::EV_CREATE;
    e.m_path = e.m_opt;
    e.m_opt.clear();
  }
  manager_.PushLocalEvent(e);
  if (e.m_type == Event::EV_CREATE && e.IsDir()) manager_.IssueExpand(e.m_sess_id, e.m_path);
}

}  // namespace tidewell
