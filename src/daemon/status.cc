// "get_status": sessions, the connection and the workers at work.

#include "daemon/tidewell.h"
#include "events/event_manager.h"
#include "session/registry.h"
#include "session/session_state.h"
#include "sync/sync_env.h"
#include "sync/worker.h"

namespace tidewell {

void Tidewell::get_status(PObject& reply) {
  Registry& registry = Registry::getInstance();
  EventManager& events = EventManager::getInstance();
  SessionStateTable& states = SessionStateTable::getInstance();
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
      // What needs the user most shows: held removals, then an error,
      // then the pause.
      SessionStateTable::Status state;
      states.Get(e.sess_id, state);
      SessionStateTable::State shown = state.state;
      if (shown == SessionStateTable::kOk && e.pause) shown = SessionStateTable::kPaused;
      item["state"] = SessionStateTable::StateName(shown);
      if (!state.last_error.empty()) item["last_error"] = state.last_error;
      // The guard's own count is the live one; the state keeps the count of
      // the notice that started the hold.
      uint64_t held = SyncEnv::Process().removal_guard.HeldRemovals(e.sess_id);
      if (held > 0) item["held_removals"] = static_cast<unsigned long long>(held);
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
  PObject::array_type busy;
  for (Worker* w : workers()) {
    uint64_t sess_id = 0;
    ustring path;
    Worker::WorkingType type = Worker::W_TYPE_NONE;
    uint64_t sent = 0;
    uint64_t total = 0;
    w->GetWorkingStatus(sess_id, path, type, sent, total);
    if (type == Worker::W_TYPE_NONE) continue;
    PObject item;
    item["session_id"] = static_cast<unsigned long long>(sess_id);
    item["path"] = path;
    item["status"] = type == Worker::W_TYPE_UPLOAD ? "uploading" : "downloading";
    item["progress"] = static_cast<unsigned long long>(sent);
    item["total_size"] = static_cast<unsigned long long>(total);
    busy.push_back(std::move(item));
  }
  if (!busy.empty()) reply["worker_list"] = busy;
}

}  // namespace tidewell
