// "pause" and "resume" of one session or of all, and the handshake that
// makes the workers let go of a paused session's events.

#include <vector>

#include "daemon/daemon_log.h"
#include "daemon/request_keys.h"
#include "daemon/tidewell.h"
#include "session/registry.h"

namespace tidewell {
namespace {

using ull = unsigned long long;

// Sets the pause flag of one session, or of every session for id 0, through
// the registry's atomic update, so a recycle time the cleaner writes at the
// same moment is kept.
void SetPause(uint64_t sess_id, bool pause) {
  Registry& registry = Registry::getInstance();
  std::vector<uint64_t> ids;
  if (sess_id != 0) {
    ids.push_back(sess_id);
  } else {
    Registry::Entry e;
    if (registry.FindNext(0, e)) {
      uint64_t first = e.sess_id;
      do {
        ids.push_back(e.sess_id);
      } while (registry.FindNext(e.sess_id, e) && e.sess_id != first);
    }
  }
  for (uint64_t id : ids) {
    int found = registry.Update(id, [pause](Registry::Entry& entry) { entry.pause = pause; });
    if (found == 1) {
      if (pause) {
        APP_LOG_INFO("pause session %llu\n", static_cast<ull>(id));
      } else {
        APP_LOG_INFO("resume session %llu\n", static_cast<ull>(id));
      }
    }
  }
}

}  // namespace

void Tidewell::pause_action(const PObject& request, PObject& reply) {
  if (!IntegersIfPresent(request, {"session_id"})) {
    APP_LOG_ERR("invalid parameters.\n");
    reply["error"] = "Invalid parameters";
    return;
  }
  uint64_t sess_id = request["session_id"].asUInt64();
  pauseRegistry(sess_id);
  drop_session(sess_id);
}

void Tidewell::resume_action(const PObject& request, PObject& reply) {
  if (!IntegersIfPresent(request, {"session_id"})) {
    APP_LOG_ERR("invalid parameters.\n");
    reply["error"] = "Invalid parameters";
    return;
  }
  uint64_t sess_id = request["session_id"].asUInt64();
  // TODO(engine): with "confirm_removals": true, release the removals the
  // mass-deletion hold keeps for this session (all sessions for id 0) once
  // that hold exists.
  resumeRegistry(sess_id);
}

void Tidewell::pauseRegistry(uint64_t sess_id) { SetPause(sess_id, true); }

void Tidewell::resumeRegistry(uint64_t sess_id) { SetPause(sess_id, false); }

void Tidewell::drop_session(uint64_t sess_id) {
  // TODO(engine): collect the workers whose current event belongs to the
  // session (any session for id 0), hand them a pause record, raise their
  // abort flags and wait until each has acknowledged, once the workers
  // exist. Until then no task processes session events.
  APP_LOG_INFO("drop session %llu done\n", static_cast<ull>(sess_id));
}

}  // namespace tidewell
