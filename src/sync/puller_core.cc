#include "sync/puller_core.h"

#include <chrono>
#include <thread>

#include "base/error_code.h"
#include "events/event_manager.h"
#include "net/connection_pool.h"
#include "net/net_log.h"
#include "net/protocol.h"
#include "net/protocol_request.h"
#include "net/pstream.h"
#include "session/registry.h"
#include "sync/sync_log.h"

namespace tidewell {

namespace sync_internal {
const ustring& SyncerComponent() {
  static const ustring component("syncer_debug");
  return component;
}
const ustring& ProgressSyncerComponent() {
  static const ustring component("progress_syncer_debug");
  return component;
}
}  // namespace sync_internal

// "<tag> <module>(<line>): <text>" under the puller's component.
#define PL_LOG(level, fmt, ...) TW_MOD_LOG(level, component_, module_, fmt __VA_OPT__(, ) __VA_ARGS__)

namespace {

using ull = unsigned long long;

HandshakeTask HandshakeKind(PullerCore::Kind kind) {
  return kind == PullerCore::kEventPuller ? HandshakeTask::kEventPuller : HandshakeTask::kResumePuller;
}

}  // namespace

PullerCore::PullerCore(Kind kind, SyncEnv& env, Task& task, std::atomic<int>& abort_flag)
    : kind_(kind),
      env_(env),
      task_(task),
      abort_flag_(abort_flag),
      module_(kind == kEventPuller ? "syncer" : "progress-syncer"),
      name_(kind == kEventPuller ? "Syncer" : "ProgressSyncer"),
      component_(kind == kEventPuller ? sync_internal::SyncerComponent()
                                      : sync_internal::ProgressSyncerComponent()) {}

int PullerCore::RunProtocol(Channel& ch, uint8_t command, const PObject& request, PObject& response) {
  const bool debug = Logger::IsEnabled(Logger::L_DEBUG, component_);
  if (debug) PL_LOG(L_DEBUG, "%s >>>: %s\n", name_, request.toString().c_str_utf8());
  ch.SetFlag(&abort_flag_);
  // No receive location: a pull reply carries no files, and a binary a
  // server sends anyway is refused instead of stored.
  PStream ps;
  ExchangeStep step = ExchangeStep::kNone;
  int rc = ProtoExchange(ch, ps, command, request, response, 90, &step);
  ch.SetTimeout(60);
  if (rc < 0 && abort_flag_.load() != 0) {
    // A pause or stop broke the exchange off (most often a pull the server
    // was holding): nothing went wrong.
    PL_LOG(L_NOTICE, "%s: RunProtocol(%s): broken off by a pause or stop\n", name_,
           request["_action"].asStringRef().c_str_utf8());
    rc = ERR_CH_CONNECTION_ABORT;
  } else if (rc < 0) {
    const char* action = request["_action"].asStringRef().c_str_utf8();
    const char* what = step == ExchangeStep::kHeader    ? "failed to send header"
                       : step == ExchangeStep::kRequest ? "failed to send request"
                                                        : "failed to recv response";
    PL_LOG(L_ERR, "%s: RunProtocol(%s): %s (%d)\n", name_, action, what, rc);
    rc = ERR_IO;
  }
  if (debug) PL_LOG(L_DEBUG, "%s <<<: %s\n", name_, response.toString().c_str_utf8());
  return rc;
}

int PullerCore::Exchange(uint64_t view_id, const PObject& request, PObject& response, PullWait* wait) {
  ConnectionPool* pool = env_.pool.load();
  if (pool == nullptr) {
    PL_LOG(L_DEBUG, "%s: no server connection is linked yet\n", name_);
    return ERR_IO;
  }
  PooledConnection conn(*pool);
  // The flag must not stay on a connection that others take next.
  struct FlagScope {
    Channel& ch;
    ~FlagScope() { ch.SetFlag(nullptr); }
  } flag_scope{conn->GetChannel()};
  conn->GetChannel().SetFlag(&abort_flag_);
  ConnectionHandshake hs(HandshakeKind(kind_), task_.GetId(),
                         [this](Channel& ch, uint8_t command, const PObject& rq, PObject& rp) {
                           return RunProtocol(ch, command, rq, rp);
                         });
  int rc = hs.RequestChannel(*pool, *conn, view_id);
  if (rc != 0) {
    PL_LOG(L_ERR, "PullEvent: fail to establish communication channel\n");
    conn->Drop();
    return rc;
  }
  // Decided on the connection that carries the request: an older server
  // never sees the key.
  PObject waiting;
  const PObject* sent = &request;
  if (wait != nullptr) {
    wait->server_waits = conn->pull_wait;
    if (wait->wait_ms != 0 && conn->pull_wait) {
      waiting = request;
      waiting["wait_ms"] = static_cast<unsigned long long>(wait->wait_ms);
      sent = &waiting;
    }
  }
  rc = RunProtocol(conn->GetChannel(), SCMD_EVT_PULL, *sent, response);
  if (rc != 0) {
    if (rc != ERR_CH_CONNECTION_ABORT) PL_LOG(L_ERR, "PullEvent: fail to pull events. %d.\n", rc);
    conn->Drop();
    return rc;
  }
  // A zero "alive" closes the channel: the server wants it dropped.
  conn->Update(response["alive"].asUInt32());
  return 0;
}

int PullerCore::WaitForWorkers(uint64_t sess_id) {
  for (;;) {
    const int pending = env_.events.GetPendingServerEvent(sess_id);
    Registry::Entry entry;
    if (pending == 0) {
      if (env_.registry.Find(sess_id, entry) == 1) return 0;
      PL_LOG(L_WARNING, "session %llu is removed, events might be dropped\n", ull{sess_id});
      return -1;
    }
    const Task::State state = task_.GetState();
    if (state == Task::STOP) {
      PL_LOG(L_WARNING, "Program stopped while syncing files ...\n");
      return -1;
    }
    if (state == Task::PAUSE) std::this_thread::sleep_for(std::chrono::milliseconds(env_.timing.paused_ms));
    if (env_.registry.Find(sess_id, entry) != 1) {
      PL_LOG(L_WARNING, "session %llu is removed while there are events\n", ull{sess_id});
      return -1;
    }
    if (entry.pause) {
      PL_LOG(L_NOTICE, "session %llu is paused while there are events\n", ull{sess_id});
      return -1;
    }
    PL_LOG(L_DEBUG, "Wait for workers (still %d pending server events).\n", pending);
    task_.WaitMs(env_.timing.idle_ms);
  }
}

void PullerCore::WaitForAction(int action) {
  if (action < 0) {
    PL_LOG(L_CRIT, "abort()\n");
    task_.WaitMs(env_.timing.retry_ms);
  } else if (action == 1 || action > 2) {
    task_.WaitMs(env_.timing.retry_ms);
  } else if (action == 2) {
    task_.WaitMs(env_.timing.long_retry_ms);
  }
}

int PullerCore::ProtoResp2ErrorCode(uint64_t code) const {
  return ConnectionHandshake(HandshakeKind(kind_), task_.GetId()).ProtoResp2ErrorCode(code);
}

}  // namespace tidewell
