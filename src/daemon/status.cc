// "get_status": sessions, the connection and the workers at work.

#include "daemon/tidewell.h"
#include "events/event_manager.h"
#include "session/registry.h"

namespace tidewell {

void Tidewell::get_status(PObject& reply) {
  Registry& registry = Registry::getInstance();
  EventManager& events = EventManager::getInstance();
  PObject::array_type sessions;
  Registry::Entry e;
  if (registry.FindNext(0, e)) {
    uint64_t first = e.sess_id;
    do {
      int pending = events.GetAllPendingEventCount(e.sess_id);
      PObject item;
      item["session_id"] = static_cast<unsigned long long>(e.sess_id);
      item["status"] = pending > 0 ? "syncing" : "uptodate";
      item["unfinished_files"] = pending;
      // TODO(engine): "state" ("ok", "paused", "error", "held"), "last_error"
      // and "held_removals" come from the session's state record once it
      // exists; until then only the pause flag is known.
      item["state"] = e.pause ? "paused" : "ok";
      sessions.push_back(std::move(item));
    } while (registry.FindNext(e.sess_id, e) && e.sess_id != first);
  }
  if (!sessions.empty()) reply["session_list"] = sessions;

  if (pool_) {
    PObject conn;
    conn["connection_id"] = static_cast<unsigned long long>(pool_->getConnectionId());
    conn["status"] = pool_->isConnected() ? "connected" : "disconnected";
    reply["connection_list"] = PObject::array_type{conn};
  }
  // TODO(engine): "worker_list" from each worker's GetWorkingStatus once the
  // workers exist.
}

}  // namespace tidewell
