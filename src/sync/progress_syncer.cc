#include "sync/progress_syncer.h"

#include <chrono>
#include <thread>

#include "base/error_code.h"
#include "db/filter_db.h"
#include "db/selective_sync.h"
#include "events/event_generator.h"
#include "events/event_manager.h"
#include "filter/filter.h"
#include "net/connection_handshake.h"
#include "net/connection_pool.h"
#include "platform/file_stat.h"
#include "sync/sync_log.h"

namespace tidewell {

namespace {

using ull = unsigned long long;

// Row i is the action for the daemon code -i: 0 next pass at once, 1 after
// the retry wait, 2 after the long wait, negative unexpected.
constexpr int kAction[] = {
    0,   // ERR_OK
    2,   // ERR_INT
    1,   // ERR_IO
    1,   // ERR_SYS
    -1,  // ERR_INVAL
    -1,  // ERR_PROTO
    2,   // ERR_AUTH
    1,   // ERR_SERVER
    -1,  // ERR_CONFLICT
    1,   // ERR_TIMEOUT
    2,   // ERR_VERSION
    -1,  // ERR_NOENT
    -1,  // ERR_USER
    -1,  // ERR_PASSWORD
    2,   // ERR_ORVIKDISABLE
    -1,  // ERR_QUOTA
    -1,  // ERR_DISKFULL
    -1,  // ERR_SYNCFOLDER_MISS
    2,   // ERR_VIEW
    2,   // ERR_PERMISS
    2,   // ERR_VIEW_PATH
    // A pause or stop broke a channel off: the loop goes on.
    1,  // ERR_CH_CONNECTION_ABORT
    // Not produced by a pull; retried like any local failure.
    1,  // ERR_LOCAL_DISKFULL
    1,  // ERR_LOCKED_FILE
};
static_assert(sizeof(kAction) / sizeof(kAction[0]) == -ERR_MAX);

}  // namespace

ProgressSyncer::ProgressSyncer(TaskManager* /*owner*/) : ProgressSyncer(SyncEnv::Process()) {}

ProgressSyncer::ProgressSyncer(SyncEnv& env, ProgressCache& cache)
    : env(env), cache(cache), core(PullerCore::kResumePuller, env, *this, abort_flag) {}

ProgressSyncer::~ProgressSyncer() { StopAndJoin(); }

int ProgressSyncer::Pause() {
  abort_flag.store(1);
  return Task::Pause();
}

int ProgressSyncer::Stop() {
  abort_flag.store(1);
  return Task::Stop();
}

int ProgressSyncer::Resume() {
  abort_flag.store(0);
  return Task::Resume();
}

void ProgressSyncer::SetConnectionState(ConnState state) {
  std::lock_guard<std::mutex> lock(conn_state_lock);
  conn_state = state;
}

ProgressSyncer::ConnState ProgressSyncer::GetConnectionState() {
  std::lock_guard<std::mutex> lock(conn_state_lock);
  return conn_state;
}

void ProgressSyncer::DoTask() {
  PS_LOG_DEBUG("ProgressSyncer START.\n");
  for (;;) {
    const State state = GetState();
    if (state == STOP) {
      PS_LOG_DEBUG("ProgressSyncer : stop working, now on sess_id = %llu, sync_id = %llu.\n",
                   ull{context.progress_entry.condition.sess_id}, ull{context.progress_entry.condition.sync_id});
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

int ProgressSyncer::UpdateContext() {
  ProgressCache::Entry entry;
  if (!cache.getProgressEntryAfter(context.row_id, entry)) {
    context = Context();
    return -1;
  }
  context.row_id = entry.row_id;
  context.progress_entry = entry;
  const ResumeCondition& c = entry.condition;
  if (env.registry.Find(c.sess_id, context.reg_entry) != 1) {
    PS_LOG_ERROR("Cannot find corresponding registry entry for sess_id '%llu'.\n", ull{c.sess_id});
    // Keep the row id, so that the next pass moves on to another one.
    const uint64_t row = context.row_id;
    context = Context();
    context.row_id = row;
    return -1;
  }
  PS_LOG_DEBUG("Find an resume_condition (%llu): sess_id (%llu), sync_id (%llu), type (%d), desc [%s].\n",
               ull{entry.row_id}, ull{c.sess_id}, ull{c.sync_id}, c.filter_type, c.filter_desc.c_str_utf8());
  return 0;
}

bool ProgressSyncer::IsSessionReady() {
  const uint64_t sess = context.reg_entry.sess_id;
  if (context.reg_entry.pause) {
    PS_LOG_DEBUG("session (%llu) is under pause status.\n", ull{sess});
    return false;
  }
  const int pending = env.events.GetPendingServerEvent(sess);
  if (pending != 0) {
    PS_LOG_DEBUG("session (%llu) still has '%d' pending server events.\n", ull{sess}, pending);
    return false;
  }
  return true;
}

int ProgressSyncer::PrepareRequest(PObject& request) {
  const ResumeCondition& c = context.progress_entry.condition;
  const Registry::Entry& e = context.reg_entry;
  request["_action"] = "pull_event";
  ConnectionPool* pool = env.pool.load();
  request["session"] = pool != nullptr ? pool->getSession() : ustring();
  request["sync_id"] = static_cast<ull>(c.sync_id);
  request["path"] = e.remote_path;
  request["view_id"] = static_cast<ull>(e.view_id);
  request["node_id"] = static_cast<ull>(e.node_id);
  request["recursive"] = e.recursive ? 1 : 0;
  ConnectionHandshake::AppendAgent(request);
  switch (c.filter_type) {
    case FILTER_EXT_SELECTIVE_SYNC:
      request["condition"]["extension"] = c.filter_desc;
      break;
    case FILTER_PATH_PREFIX_SELECTIVE_SYNC:
      request["condition"]["prefix"] = c.filter_desc;
      break;
    case FILTER_NAME_SELECTIVE_SYNC:
      request["condition"]["name"] = c.filter_desc;
      break;
    case FILTER_FILE_SIZE_SELECTIVE_SYNC: {
      uint64_t from = 0, to = 0;
      if (DecodeResumeSizeFilterDesc(c.filter_desc, from, to) != 0) {
        PS_LOG_ERROR("Failed to decode resume size filter '%s'\n", c.filter_desc.c_str_utf8());
        break;
      }
      request["condition"]["min_size"] = static_cast<ull>(from);
      request["condition"]["max_size"] = static_cast<ull>(to);
      break;
    }
    default:
      PS_LOG_WARNING("Unknow filter type '%d'.\n", c.filter_type);
      break;
  }
  return 0;
}

int ProgressSyncer::PullEvent() {
  PObject request;
  // Without a usable condition the pull brings every change since the
  // condition's sync id; the workers' gates still filter them and echoes
  // are dropped, and the condition completes instead of holding the
  // session back from the regular puller for ever.
  PrepareRequest(request);
  PObject response;
  SetConnectionState(CONNECTED);
  int rc = core.Exchange(context.reg_entry.view_id, request, response);
  SetConnectionState(rc == 0 ? IDLE : DISCONNECTED);
  if (rc != 0) return rc;
  if (response.hasMember("error")) {
    PS_LOG_ERROR("PullEvent: response: %s.\n", response.toString().c_str_utf8());
    return ProtoResp2ErrorCode(response["error"]["code"].asUInt64());
  }
  if (!response["next_sync_id"].isInteger()) {
    PS_LOG_ERROR("PullEvent: response without next_sync_id: %s.\n", response.toString().c_str_utf8());
    return ERR_PROTO;
  }
  if (ProcessEvents(response) != 0) {
    PS_LOG_ERROR("PullEvent: fail to process event.\n");
    return -1;
  }
  return 0;
}

int ProgressSyncer::ProcessEvents(const PObject& response) {
  const uint64_t next = response["next_sync_id"].asUInt64();
  const uint64_t row = context.row_id;
  if (next != context.progress_entry.condition.sync_id) {
    for (const PObject& obj : response["event_list"].asArray()) PushEvent(context.reg_entry, obj, env.events);
    if (WaitForWorkers() == -1) {
      PS_LOG_NOTE("ProcessEvents: interrupted while waiting events being done ...\n");
      return -1;
    }
    if (env.filter_db.updateResumeSyncId(row, next) != 0) {
      PS_LOG_ERROR("ProcessEvents: faile to update sync_id (%llu) to filter_resume_table for row_id(%llu)\n",
                   ull{next}, ull{row});
      return -1;
    }
    cache.updateProgressSyncId(row, next);
    return 0;
  }
  PS_LOG_DEBUG("already uptodate for current event pull condition.\n");
  if (env.filter_db.rmResumeCondition(row) != 0) {
    PS_LOG_ERROR("ProcessEvents: fail to remove resume condition for row_id(%llu)\n", ull{row});
  }
  cache.rmProgressEntry(row);
  return 0;
}

int ProgressSyncer::WaitForWorkers() { return core.WaitForWorkers(context.reg_entry.sess_id); }

int ProgressSyncer::HandleError(int err) {
  if (err > 0 || err < ERR_MAX + 1) {
    PS_LOG_CRIT("ProgressSyncer: unknown error code [%d].\n", err);
    return -1;
  }
  PS_LOG_DEBUG("ProgressSyncer: HandleError: %d.\n", err);
  const int action = kAction[-err];
  if (action < 0) PS_LOG_CRIT("ProgressSyncer: unexpected error code [%d].\n", err);
  return action;
}

int ProgressSyncer::RunProtocol(Channel& ch, unsigned char command, const PObject& request, PObject& response) {
  return core.RunProtocol(ch, command, request, response);
}

int ProgressSyncer::ProtoPullEvent(Channel& ch, const PObject& request, PObject& response) {
  return RunProtocol(ch, 6, request, response);
}

int ProgressSyncer::GetFilesystemInfo(const Event& e, FILE_INFO& info) {
  const ustring& root = context.reg_entry.local_path;
  ustring path = e.m_path.utf8_view() == "/" ? root : root + e.m_path;
  return FSStat(path, info, true) < 0 ? -1 : 0;
}

int ProgressSyncer::ProtoResp2ErrorCode(uint64_t code) { return core.ProtoResp2ErrorCode(code); }

}  // namespace tidewell
