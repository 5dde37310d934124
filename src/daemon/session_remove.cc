// "remove_session" and "unlink_connection": dropping paused sessions.

#include <vector>

#include "daemon/daemon_log.h"
#include "daemon/request_keys.h"
#include "daemon/tidewell.h"
#include "session/registry.h"
#include "session/session_state.h"
#include "sync/detector.h"
#include "sync/sync_env.h"

namespace tidewell {
namespace {

using ull = unsigned long long;

}  // namespace

void Tidewell::remove_session(const PObject& request, PObject& reply) {
  if (!IntegersIfPresent(request, {"session_id"})) {
    APP_LOG_ERR("invalid parameters.\n");
    reply["error"] = "Invalid parameters";
    return;
  }
  if (HasKey(request, "session_id")) {
    remove_one_session(request["session_id"].asUInt64(), reply);
    return;
  }
  // Every session once; those that are not paused stay, and the reply
  // carries the last refusal.
  std::vector<uint64_t> ids;
  Registry& registry = Registry::getInstance();
  Registry::Entry e;
  if (registry.FindNext(0, e)) {
    uint64_t first = e.sess_id;
    do {
      ids.push_back(e.sess_id);
    } while (registry.FindNext(e.sess_id, e) && e.sess_id != first);
  }
  for (uint64_t id : ids) remove_one_session(id, reply);
}

int Tidewell::remove_one_session(uint64_t sess_id, PObject& reply) {
  const ull id = sess_id;
  APP_LOG_INFO("remove_one_session '%llu'.\n", id);
  Registry& registry = Registry::getInstance();
  Registry::Entry entry;
  if (registry.Find(sess_id, entry) != 1) {
    APP_LOG_ERR("invalid session %llu, stop remove\n", id);
    reply["error"] = "Invalid session.";
    return -1;
  }
  if (!entry.pause) {
    APP_LOG_ERR("remove session %llu without pause, stop remove\n", id);
    reply["error"] = "Remove session without puase";
    return -1;
  }
  registry.Clear(sess_id);
  if (Detector* watcher = detector()) watcher->RemoveWatch(sess_id);
  SessionStateTable::getInstance().Clear(sess_id);
  SyncEnv::Process().removal_guard.Forget(sess_id);
  APP_LOG_INFO("session '%llu' is removed.\n", id);
  return 0;
}

}  // namespace tidewell
