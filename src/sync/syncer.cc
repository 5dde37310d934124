#include "sync/syncer.h"

#include <chrono>
#include <string>
#include <thread>

#include "base/error_code.h"
#include "db/file_event_db.h"
#include "db/progress_cache.h"
#include "events/event_generator.h"
#include "events/event_manager.h"
#include "net/connection_handshake.h"
#include "net/connection_pool.h"
#include "platform/file_stat.h"
#include "session/session_state.h"
#include "sync/sync_log.h"

namespace tidewell {

namespace {

using ull = unsigned long long;

// Whom an error is reported to.
enum ErrType { ERR_NONE = 0, ERR_SESSION = 1, ERR_CONNECTION = 2 };

struct HandlerRow {
  int action;
  ErrType err_type;
};

// Row i is the daemon code -i. Actions: 0 next pass at once, 1 after the
// retry wait, negative unexpected (logged, then the retry wait).
constexpr HandlerRow kHandler[] = {
    {0, ERR_NONE},         // ERR_OK
    {1, ERR_NONE},         // ERR_INT
    {1, ERR_NONE},         // ERR_IO
    {1, ERR_NONE},         // ERR_SYS
    {-1, ERR_NONE},        // ERR_INVAL
    {-1, ERR_NONE},        // ERR_PROTO
    {1, ERR_CONNECTION},   // ERR_AUTH
    {1, ERR_NONE},         // ERR_SERVER
    {-1, ERR_NONE},        // ERR_CONFLICT
    {1, ERR_NONE},         // ERR_TIMEOUT
    {1, ERR_CONNECTION},   // ERR_VERSION
    {-1, ERR_NONE},        // ERR_NOENT
    {-1, ERR_NONE},        // ERR_USER
    {-1, ERR_NONE},        // ERR_PASSWORD
    {1, ERR_SESSION},      // ERR_ORVIKDISABLE
    {-1, ERR_NONE},        // ERR_QUOTA
    {-1, ERR_NONE},        // ERR_DISKFULL
    {-1, ERR_NONE},        // ERR_SYNCFOLDER_MISS
    {1, ERR_SESSION},      // ERR_VIEW
    {1, ERR_SESSION},      // ERR_PERMISS
    {1, ERR_NONE},         // ERR_VIEW_PATH
    // A pause or stop broke a channel off; nothing is wrong, the loop
    // goes on (and pauses or ends by the task state).
    {1, ERR_NONE},         // ERR_CH_CONNECTION_ABORT
    // Not produced by a pull; should one arrive, retry like any local
    // failure.
    {1, ERR_NONE},         // ERR_LOCAL_DISKFULL
    {1, ERR_NONE},         // ERR_LOCKED_FILE
};
static_assert(sizeof(kHandler) / sizeof(kHandler[0]) == -ERR_MAX);

}  // namespace

Syncer::Syncer(TaskManager* /*owner*/) : Syncer(SyncEnv::Process()) {}

Syncer::Syncer(SyncEnv& env) : env(env), core(PullerCore::kEventPuller, env, *this, abort_flag) {}

Syncer::~Syncer() { StopAndJoin(); }

int Syncer::Pause() {
  abort_flag.store(1);
  return Task::Pause();
}

int Syncer::Stop() {
  abort_flag.store(1);
  return Task::Stop();
}

int Syncer::Resume() {
  abort_flag.store(0);
  return Task::Resume();
}

void Syncer::DoTask() {
  for (;;) {
    const State state = GetState();
    if (state == STOP) {
      SY_LOG_DEBUG("Syncer: stop working, now on view_id %llu, sync_id %llu.\n", ull{context.entry.view_id},
                   ull{context.sync_id});
      return;
    }
    if (state == PAUSE) {
      std::this_thread::sleep_for(std::chrono::milliseconds(env.timing.paused_ms));
      continue;
    }
    if (UpdateContext() != 0 || !IsSessionReady()) {
      WaitMs(env.timing.idle_ms);
      continue;
    }
    core.WaitForAction(HandleError(PullEvent()));
  }
}

int Syncer::UpdateContext() {
  Registry::Entry next;
  if (!env.registry.FindNext(context.entry.sess_id, next)) {
    context = Context();
    return -1;
  }
  context.entry = next;
  context.sync_id = 0;
  return 0;
}

bool Syncer::IsSessionReady() {
  if (ProgressCache::getInstance().isInProgrssCache(context.entry.sess_id)) {
    SY_LOG_INFO("session '%llu' is in ProgrssCache.\n", ull{context.entry.sess_id});
    return false;
  }
  return !context.entry.pause;
}

int Syncer::PullEvent() {
  PObject response;
  int rc = PullEventFromServer(response);
  // Only a pass that answered "nothing new" (ProcessEvents) leads to a
  // waiting pull; after an error the next pull asks at once.
  quiet_session = 0;
  // A reply that carries an error is never taken for events, even when its
  // code maps to "go on": its list and next id are not to be trusted.
  if (rc == 0 && response.hasMember("error")) {
    MarkUpToDate();
    return 0;
  }
  if (rc >= 0) rc = ProcessEvents(response);
  return rc;
}

int Syncer::PullEventFromServer(PObject& response) {
  const Registry::Entry& e = context.entry;
  uint64_t stored = 0;
  if (e.event_db == nullptr || e.event_db->getSyncId(stored) != 0) {
    SY_LOG_ERROR("Syncer: failed to get base sync id ... starts from 0\n");
    return ERR_SYS;
  }
  context.sync_id = stored;

  PObject request;
  request["_action"] = "pull_event";
  request["sync_id"] = static_cast<ull>(stored);
  ConnectionPool* pool = env.pool.load();
  request["session"] = pool != nullptr ? pool->getSession() : ustring();
  request["path"] = e.remote_path;
  request["view_id"] = static_cast<ull>(e.view_id);
  request["node_id"] = static_cast<ull>(e.node_id);
  request["recursive"] = e.recursive ? 1 : 0;
  ConnectionHandshake::AppendAgent(request);
  SY_LOG_DEBUG("Syncer: pull event by session %llu (%llu:%s) since %llu\n", ull{e.sess_id}, ull{e.view_id},
               e.remote_path.c_str_utf8(), ull{stored});

  PullerCore::PullWait wait;
  if (MayWait()) wait.wait_ms = static_cast<uint32_t>(env.timing.pull_wait_ms);
  const auto asked = std::chrono::steady_clock::now();
  int rc = core.Exchange(e.view_id, request, response, &wait);
  if (rc != 0) return rc;
  server_waits = wait.server_waits;
  answered_early = wait.wait_ms != 0 && wait.server_waits && std::chrono::steady_clock::now() - asked <
                                    std::chrono::milliseconds(wait.wait_ms / 2);
  if (response.hasMember("error")) {
    SY_LOG_ERROR("PullEvent: response: %s.\n", response["error"].toString().c_str_utf8());
    return ProtoResp2ErrorCode(response["error"]["code"].asUInt64());
  }
  if (!response["next_sync_id"].isInteger()) {
    // Without it nothing tells what the reply covers; storing a guess
    // could skip changes for good.
    SY_LOG_ERROR("PullEvent: response without next_sync_id: %s.\n", response.toString().c_str_utf8());
    return ERR_PROTO;
  }
  return 0;
}

int Syncer::ProcessEvents(const PObject& response) {
  const uint64_t sess = context.entry.sess_id;
  const uint64_t next = response["next_sync_id"].asUInt64();
  if (next == context.sync_id) {
    quiet_session = sess;
    MarkUpToDate();
    return 0;
  }
  uptodate_set.erase(sess);
  int pushed = 0;
  for (const PObject& obj : response["event_list"].asArray()) pushed += PushEvent(context.entry, obj, env.events);
  SY_LOG_DEBUG("Syncer: %d of %zu events queued for session %llu\n", pushed, response["event_list"].size(), ull{sess});
  if (WaitForWorkers() == -1) {
    SY_LOG_NOTE("ProcessEvents: interrupted while waiting events being done ...\n");
    return -1;
  }
  if (context.entry.event_db->setSyncId(next) != 0) {
    SY_LOG_ERROR("ProcessEvents: failed to store sync id %llu for session %llu\n", ull{next}, ull{sess});
    return ERR_SYS;
  }
  return 0;
}

void Syncer::MarkUpToDate() {
  uptodate_set.insert(context.entry.sess_id);
  SY_LOG_DEBUG("session '%llu' is uptodate.\n", ull{context.entry.sess_id});
  if (uptodate_set.size() >= env.registry.Size()) {
    uptodate_set.clear();
    if (server_waits && MayWait()) {
      if (!answered_early) {
        SY_LOG_DEBUG("all session is uptodate, the server holds the next pull.\n");
        return;
      }
      // Nothing new, long before the time the pull asked for: this server
      // does not hold pulls after all, and pulling again at once would spin.
      if (!noted_early) {
        SY_LOG_NOTE("Syncer: the server answered a held pull at once with nothing new; sleeping between pulls\n");
        noted_early = true;
      }
    }
    SY_LOG_DEBUG("all session is uptodate, wait for %d ms.\n", env.timing.uptodate_ms);
    WaitMs(env.timing.uptodate_ms);
  }
}

bool Syncer::MayWait() {
  return quiet_session == context.entry.sess_id && env.registry.Size() == 1 && env.timing.pull_wait_ms > 0;
}

int Syncer::WaitForWorkers() { return core.WaitForWorkers(context.entry.sess_id); }

int Syncer::HandleError(int err) {
  if (err > 0 || err < ERR_MAX + 1) {
    SY_LOG_CRIT("Syncer: unknown error code [%d].\n", err);
    return -1;
  }
  SY_LOG_DEBUG("Syncer: HandleError: %d.\n", err);
  const HandlerRow& row = kHandler[-err];
  const uint64_t sess = context.entry.sess_id;
  if (err == ERR_OK && sess != 0) env.session_state.SetOk(sess);
  switch (row.err_type) {
    case ERR_SESSION:
      env.session_state.SetError(
          sess, ustring(std::string(GetErrorString(err)) + " while pulling server changes of '" +
                        std::string(context.entry.local_path.utf8_view()) + "'"));
      env.notices.SessionError(sess, err);
      break;
    case ERR_CONNECTION: {
      ConnectionPool* pool = env.pool.load();
      env.notices.ConnectionError(pool != nullptr ? pool->getConnectionId() : 0, err);
      break;
    }
    case ERR_NONE:
      SY_LOG_DEBUG("No type for error: %d\n", err);
      break;
  }
  if (row.action < 0) SY_LOG_CRIT("Syncer: unexpected error code [%d].\n", err);
  return row.action;
}

int Syncer::RunProtocol(Channel& ch, unsigned char command, const PObject& request, PObject& response) {
  return core.RunProtocol(ch, command, request, response);
}

int Syncer::ProtoPullEvent(Channel& ch, const PObject& request, PObject& response) {
  return RunProtocol(ch, 6, request, response);
}

int Syncer::GetFilesystemInfo(const Event& e, FILE_INFO& info) {
  const ustring& root = context.entry.local_path;
  ustring path = e.m_path.utf8_view() == "/" ? root : root + e.m_path;
  return FSStat(path, info, true) < 0 ? -1 : 0;
}

int Syncer::ProtoResp2ErrorCode(uint64_t code) { return core.ProtoResp2ErrorCode(code); }

}  // namespace tidewell
