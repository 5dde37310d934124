// "pause" and "resume" of one session or of all, and the handshake that
// makes the workers let go of a paused session's events.

#include <chrono>
#include <mutex>
#include <vector>

#include "daemon/daemon_log.h"
#include "daemon/request_keys.h"
#include "daemon/tidewell.h"
#include "session/registry.h"
#include "sync/sync_env.h"
#include "sync/worker.h"

namespace tidewell {
namespace {

using ull = unsigned long long;

// The session `sess_id`, or every registered session for 0.
std::vector<uint64_t> SessionsMeant(uint64_t sess_id) {
  std::vector<uint64_t> ids;
  if (sess_id != 0) {
    ids.push_back(sess_id);
    return ids;
  }
  Registry& registry = Registry::getInstance();
  Registry::Entry e;
  if (registry.FindNext(0, e)) {
    uint64_t first = e.sess_id;
    do {
      ids.push_back(e.sess_id);
    } while (registry.FindNext(e.sess_id, e) && e.sess_id != first);
  }
  return ids;
}

// Sets the pause flag of one session, or of every session for id 0, through
// the registry's atomic update, so a recycle time the cleaner writes at the
// same moment is kept.
void SetPause(uint64_t sess_id, bool pause) {
  Registry& registry = Registry::getInstance();
  for (uint64_t id : SessionsMeant(sess_id)) {
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
  if (request["confirm_removals"].asBool()) {
    // The user has seen the held removals and wants them sent.
    for (uint64_t id : SessionsMeant(sess_id)) {
      int released = SyncEnv::Process().removal_guard.ConfirmRemovals(id);
      if (released >= 0) APP_LOG_INFO("%d held removals of session %llu confirmed\n", released, static_cast<ull>(id));
    }
  }
  resumeRegistry(sess_id);
}

void Tidewell::pauseRegistry(uint64_t sess_id) { SetPause(sess_id, true); }

void Tidewell::resumeRegistry(uint64_t sess_id) { SetPause(sess_id, false); }

void Tidewell::drop_session(uint64_t sess_id) {
  // The workers busy with an event of the session (of any session for 0).
  std::vector<Worker*> busy;
  for (Worker* w : workers()) {
    Worker::ProcessEvent_T info;
    w->GetCurrentProcessEventInfo(info);
    if (info.session_id != 0 && (sess_id == 0 || info.session_id == sess_id)) {
      APP_LOG_INFO("pause worker %d\n", w->GetId());
      busy.push_back(w);
    }
  }
  if (!busy.empty()) {
    Worker::PauseType_T record;
    std::unique_lock<std::mutex> lock(record.pause_mutex);
    record.count = static_cast<uint32_t>(busy.size());
    for (Worker* w : busy) {
      w->setPauseInstance(&record);
      APP_LOG_INFO("abort worker %d\n", w->GetId());
      w->SetAbort(true);
    }
    APP_LOG_INFO("wait for worker drop ...\n");
    // Each worker counts down at the top of its next pass; the abort flag
    // cuts a transfer short, so that comes soon.
    while (record.count > 0) {
      if (record.pause_cond.wait_for(lock, std::chrono::seconds(10)) == std::cv_status::timeout &&
          record.count > 0) {
        APP_LOG_WARN("still waiting for %u workers to let go of session %llu\n", record.count,
                     static_cast<ull>(sess_id));
      }
    }
    APP_LOG_INFO("worker drop session done, continue\n");
    lock.unlock();
    for (Worker* w : busy) w->SetAbort(false);
  }
  APP_LOG_INFO("drop session %llu done\n", static_cast<ull>(sess_id));
}

}  // namespace tidewell
