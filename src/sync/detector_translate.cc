// The detector's translation of folder-change notices into local events.

#include <string>

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
  if (TranslateLocked(s, e, n.kind == Notice::kDeleted)) PushEventLocked(e);
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
