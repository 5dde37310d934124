#include "events/event_merge.h"

#include "base/log.h"

namespace tidewell {
namespace {

const ustring& Comp() {
  static const ustring component("event_list_debug");
  return component;
}

// `o` keeps its place against a server event with identifier `n`: a stored
// forced download never does.
bool OldServerWins(uint64_t o, uint64_t n) {
  return o >= n && o != Event::kForcedSyncId;
}

}  // namespace

EventList2::Attribute HandleTypeConflict(const EventList2::Attribute& s,
                                         const EventList2::Attribute& l) {
  if (l.type == Event::EV_REMOVE) return s;
  if (s.type == Event::EV_REMOVE) return l;
  EventList2::Attribute r = s;
  r.mode |= Event::F_CONFLICT;
  return r;
}

EventList2::Attribute HandleConflict(const EventList2::Attribute& o,
                                     const EventList2::Attribute& n) {
  if (o.type == Event::EV_EMPTY) return n;
  if (n.type == Event::EV_EMPTY) return o;

  if ((n.mode & Event::F_DIR) == 0) {
    if (o.IsServer() && !n.IsServer()) return HandleTypeConflict(o, n);
    if (o.IsServer() && n.IsServer())
      return OldServerWins(o.syncID, n.syncID) ? o : n;
    if (!o.IsServer() && n.IsServer()) return HandleTypeConflict(n, o);
    return n;
  }

  EventList2::Attribute r;
  if (o.IsServer() && n.IsServer())
    r = OldServerWins(o.syncID, n.syncID) ? o : n;
  else
    r = n;
  if (o.type == Event::EV_REMOVE && r.type != Event::EV_REMOVE) {
    // Whatever the folder held was removed first; only a rescan tells what
    // of its old content is left.
    if (o.IsServer()) {
      r.mode |= Event::F_SERVER_SUBDIR_RESCAN;
      TW_LOG_INFO(Comp(), "event-list2",
                "Mark node to be ServerSubDirRescan(pre-event dir delete) [%s].\n", r.path.c_str());
    } else {
      r.mode |= Event::F_LOCAL_SUBDIR_RESCAN;
      TW_LOG_INFO(Comp(), "event-list2",
                "Mark node to be LocalSubDirRescan(pre-event dir delete) [%s].\n", r.path.c_str());
    }
  }
  return r;
}

}  // namespace tidewell
