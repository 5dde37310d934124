// The worker's loop, context, error table, notices, pause handshake and
// protocol exchange.

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>

#include "base/error_code.h"
#include "base/host_name.h"
#include "db/file_event_db.h"
#include "events/event_manager.h"
#include "events/sync_status_recorder.h"
#include "net/connection_handshake.h"
#include "net/connection_pool.h"
#include "net/protocol.h"
#include "platform/file_remove.h"
#include "session/session_state.h"
#include "sync/sync_log.h"
#include "sync/worker.h"

namespace tidewell {

namespace sync_internal {
const ustring& WorkerComponent() {
  static const ustring component("worker_debug");
  return component;
}
}  // namespace sync_internal

namespace {

// How a daemon code is reported beside its action.
enum ErrType { ERR_NONE = 0, ERR_SESSION = 1, ERR_CONNECTION = 2, ERR_FILE = 3 };

struct HandlerRow {
  int action;
  ErrType err_type;
};

// Row i is the daemon code -i. Actions: 0 done, 1 keep and retry, 2 redo,
// negative unexpected (logged, kept and retried).
constexpr HandlerRow kHandler[] = {
    {0, ERR_NONE},         // ERR_OK
    {2, ERR_NONE},         // ERR_INT
    {1, ERR_NONE},         // ERR_IO
    {1, ERR_NONE},         // ERR_SYS
    {-1, ERR_NONE},        // ERR_INVAL
    {-1, ERR_NONE},        // ERR_PROTO
    {2, ERR_CONNECTION},   // ERR_AUTH
    {1, ERR_NONE},         // ERR_SERVER
    {-1, ERR_NONE},        // ERR_CONFLICT
    {1, ERR_NONE},         // ERR_TIMEOUT
    {2, ERR_CONNECTION},   // ERR_VERSION
    {-1, ERR_NONE},        // ERR_NOENT
    {-1, ERR_NONE},        // ERR_USER
    {-1, ERR_NONE},        // ERR_PASSWORD
    {2, ERR_SESSION},      // ERR_ORVIKDISABLE
    {2, ERR_SESSION},      // ERR_QUOTA
    {2, ERR_SESSION},      // ERR_DISKFULL
    {-1, ERR_NONE},        // ERR_SYNCFOLDER_MISS
    {2, ERR_SESSION},      // ERR_VIEW
    {2, ERR_SESSION},      // ERR_PERMISS
    {-1, ERR_NONE},        // ERR_VIEW_PATH
    {1, ERR_NONE},         // ERR_CH_CONNECTION_ABORT
    {2, ERR_SESSION},      // ERR_LOCAL_DISKFULL
    {2, ERR_FILE},         // ERR_LOCKED_FILE
};
static_assert(sizeof(kHandler) / sizeof(kHandler[0]) == -ERR_MAX);

// The file-status action of DoneEvent by notify type: 1 and 3 drop the mark.
constexpr int kNotifyFileStatus[] = {1, 3, 1, 0, 1, 0};

// The progress key of a file body in transfer.
constexpr std::string_view kFileBodyKey = "file.data";

bool IsUnder(std::string_view path, std::string_view dir) {
  return !dir.empty() && path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
         path[dir.size()] == '/';
}

// Collects the paths of the binaries in `obj`.
void CollectBinaries(const PObject& obj, std::vector<ustring>& out) {
  if (obj.isBinary()) {
    if (!obj.asBinary().path.empty()) out.push_back(obj.asBinary().path);
  } else if (obj.isMap()) {
    for (const auto& [key, value] : obj.asMap()) CollectBinaries(value, out);
  } else if (obj.isArray()) {
    for (const PObject& value : obj.asArray()) CollectBinaries(value, out);
  }
}

}  // namespace

void Worker::EventContext::clear() {
  current_event.Clear();
  root_entry.clear();
  database_record.Clear();
  full_path.clear();
}

Worker::Worker(SyncEnv& e) : env(e) {}

Worker::~Worker() {
  StopAndJoin();
  ClearCache();
}

ustring Worker::WorkingRel() { return ustring(std::string("/") + kWorkingFolderName); }

ustring Worker::RecycleBinRel() {
  return ustring(std::string("/") + kWorkingFolderName + "/" + kRecycleFolderName);
}

int Worker::Pause() {
  abort_flag.store(1);
  return Task::Pause();
}

int Worker::Stop() {
  abort_flag.store(1);
  return Task::Stop();
}

int Worker::Resume() {
  last_error = 0;
  abort_flag.store(0);
  return Task::Resume();
}

int Worker::SetAbort(bool abort) {
  abort_flag.store(abort ? 1 : 0);
  return 0;
}

void Worker::setPauseInstance(PauseType_T* instance) { pause_instance.store(instance); }

void Worker::NotifyAbortDone() {
  PauseType_T* p = pause_instance.exchange(nullptr);
  if (p == nullptr) return;
  std::lock_guard<std::mutex> lock(p->pause_mutex);
  if (p->count > 0) --p->count;
  WK_LOG_INFO("worker %d done abort\n", GetId());
  if (p->count == 0) {
    WK_LOG_INFO("worker %d signal the command thread\n", GetId());
    p->pause_cond.notify_all();
  }
}

// --- current-event info ---------------------------------------------------

void Worker::SetCurrentProcessEventInfo(uint64_t sess_id, const ustring& path, WorkingType type) {
  std::lock_guard<std::mutex> lock(worker_state_lock);
  m_current_event.session_id = sess_id;
  m_current_event.path = path;
  m_current_event.working_type = type;
}

void Worker::GetCurrentProcessEventInfo(ProcessEvent_T& out) {
  std::lock_guard<std::mutex> lock(worker_state_lock);
  out = m_current_event;
}

void Worker::ClearCurrentProcessEventInfo() { SetCurrentProcessEventInfo(0, ustring(), W_TYPE_NONE); }

void Worker::AdjustCurrentProcessEventInfo() {
  const Event& e = context.current_event;
  if (e.m_mode & (Event::F_EXPAND | Event::F_RESCAN))
    ClearCurrentProcessEventInfo();
  else
    SetCurrentProcessEventInfo(e.m_sess_id, e.m_path, W_TYPE_NONE);
}

void Worker::GetWorkingStatus(uint64_t& sess_id, ustring& path, WorkingType& type, uint64_t& sent,
                              uint64_t& total) {
  sess_id = 0;
  path.clear();
  type = W_TYPE_NONE;
  sent = 0;
  total = 0;
  State s = GetState();
  if (s == PAUSE || s == STOP) return;
  ustring item;
  trans_stream.GetStatus(item, sent, total);
  if (item.utf8_view() != kFileBodyKey) {
    sent = 0;
    total = 0;
  }
  ProcessEvent_T info;
  GetCurrentProcessEventInfo(info);
  sess_id = info.session_id;
  path = info.path;
  type = info.working_type;
}

// --- the loop ---------------------------------------------------------------

void Worker::DoTask() {
  WK_LOG_DEBUG("Worker (%d) up\n", GetId());
  for (;;) {
    NotifyAbortDone();
    State s = GetState();
    if (s == STOP) break;
    if (s == PAUSE) {
      // Looks again every 50 ms, so that a stop ends the task at once.
      for (int waited = 0; waited < env.timing.paused_ms && GetState() == PAUSE; waited += 50)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    switch (RunOnePass()) {
      case kPassIdle:
        WaitMs(env.timing.idle_ms);
        break;
      case kPassRetry:
        WaitMs(env.timing.retry_ms);
        break;
      case kPassUnexpected:
        WaitMs(env.timing.retry_ms);
        break;
      case kPassRedo:
        WaitMs(env.timing.redo_ms);
        break;
      case kPassDone:
      case kPassSkipped:
        break;
    }
  }
  ClearCache();
  WK_LOG_DEBUG("Worker (%d) down\n", GetId());
}

Worker::PassOutcome Worker::RunOnePass() {
  pass_redone = false;
  if (GetEvent() != 0) {
    ClearCurrentProcessEventInfo();
    return kPassIdle;
  }
  if (UpdateContext() != 0) return pass_redone ? kPassRedo : kPassSkipped;
  SetAbort(false);
  const uint32_t mode = context.current_event.m_mode;
  if (mode & Event::F_RESCAN) {
    Rescan();
    DoneEvent();
    return kPassDone;
  }
  if (mode & Event::F_EXPAND) {
    Expand();
    DoneEvent();
    return kPassDone;
  }
  int rc = ProcessEvent();
  ClearCurrentProcessEventInfo();
  int action = HandleError(rc);
  if (action < 0) {
    WK_LOG_CRIT("abort()\n");
    return kPassUnexpected;
  }
  switch (action) {
    case 1:
      return kPassRetry;
    case 2:
      RedoEvent();
      return kPassRedo;
    case 0:
      DoneEvent();
      return kPassDone;
    default:
      return kPassSkipped;
  }
}

int Worker::GetEvent() {
  if (context.current_event.m_type != Event::EV_EMPTY) {
    WK_LOG_INFO("current event is valid: %s\n", context.current_event.toString().c_str_utf8());
    AdjustCurrentProcessEventInfo();
    return 0;
  }
  Event e;
  if (env.events.PullEvent(this, e) != 0) {
    ClearCache();
    context.clear();
    return -1;
  }
  context.current_event = e;
  ClearCache();
  AdjustCurrentProcessEventInfo();
  WK_LOG_DEBUG("Worker (%d): current event: %s\n", GetId(), e.toString().c_str_utf8());
  return 0;
}

int Worker::UpdateContext() {
  Event& e = context.current_event;
  Registry::Entry entry;
  if (env.registry.Find(e.m_sess_id, entry) != 1) {
    WK_LOG_NOTE("registry entry (with session %llu) is removed\n", static_cast<unsigned long long>(e.m_sess_id));
    ClearCurrentProcessEventInfo();
    DoneEvent();
    return -1;
  }
  context.root_entry = entry;
  const std::string local(entry.local_path.utf8_view());
  context.working_directory = ustring(local + "/" + kWorkingFolderName);
  context.sign_directory = ustring(std::string(entry.config_path.utf8_view()) + "/db/sign");
  context.full_path = e.m_path.utf8_view() == "/" ? entry.local_path : ustring(local + std::string(e.m_path.utf8_view()));

  if (entry.pause && !(e.m_mode & (Event::F_EXPAND | Event::F_RESCAN))) {
    WK_LOG_DEBUG("Worker (%d): session %llu is paused, process this event (%s) later\n", GetId(),
                 static_cast<unsigned long long>(e.m_sess_id), e.toString().c_str_utf8());
    ClearCurrentProcessEventInfo();
    RedoEvent();
    return -1;
  }
  WK_LOG_INFO("Worker (%d): current event: %s\n", GetId(), e.toString().c_str_utf8());

  // A path the server or a broken event names unsafely is never acted on.
  int check = CheckSessionPath(e.m_path);
  if (check != kPathOk) {
    WK_LOG_ERROR("Worker (%d): refusing event for unsafe path '%s' (session %llu): %s\n", GetId(),
                 e.m_path.c_str_utf8(), static_cast<unsigned long long>(e.m_sess_id),
                 SessionPathCheckString(check));
    ClearCurrentProcessEventInfo();
    DoneEvent();
    return -1;
  }

  // The session folder and its working folder must be what they were: a
  // vanished root is never read as "everything is gone", and a working
  // folder replaced by a link would take received files elsewhere.
  int rc = fs.Open(entry.local_path);
  FILE_INFO work;
  if (rc == 0) rc = fs.Stat(WorkingRel(), work);
  if (rc < 0 || !work.isExist || work.type != FT_DIR) {
    ustring reason(rc < 0 ? SessionFsErrorString(rc)
                          : std::string(work.isExist ? "working folder is not a folder" : "working folder is missing"));
    WK_LOG_ERROR("Worker (%d): session %llu: cannot use session folder '%s': %s; event kept for later\n", GetId(),
                 static_cast<unsigned long long>(e.m_sess_id), entry.local_path.c_str_utf8(), reason.c_str_utf8());
    env.session_state.SetError(e.m_sess_id, ustring("Session folder '" + local + "' cannot be used: " +
                                                    std::string(reason.utf8_view())));
    // The guard tells the user once and keeps the error until the folder is back.
    (void)env.removal_guard.CheckRoot(entry);
    ClearCurrentProcessEventInfo();
    RedoEvent();
    return -1;
  }

  if (!entry.recursive) {
    size_t slashes = std::count(e.m_path.utf8_view().begin(), e.m_path.utf8_view().end(), '/');
    if ((e.IsDir() && e.m_path.utf8_view() != "/") || slashes >= 2) {
      WK_LOG_DEBUG("filter out recursive events (%s, %s)\n", e.m_path.c_str_utf8(), e.IsDir() ? "dir" : "file");
      ClearCurrentProcessEventInfo();
      DoneEvent();
      return -1;
    }
  }

  ClientFileEventInfo record;
  if (!entry.event_db || entry.event_db->getEventInfo(e.m_path, record) != 1) record.Clear();
  context.database_record = record;
  return 0;
}

int Worker::ProcessEvent() {
  const Event& e = context.current_event;
  WK_LOG_DEBUG("Worker (%d): processEvent %s...\n", GetId(), e.m_path.c_str_utf8());
  if (e.m_mode & Event::F_SUBDIR_RESCAN_ANY) return ExpandDeleteEvent();
  if (e.IsServerEvent()) return e.m_type == Event::EV_REMOVE ? RemoveLocal() : DownloadRemote();
  return e.m_type == Event::EV_REMOVE ? RemoveRemote() : UploadLocal();
}

int Worker::HandleError(int err) {
  if (err > 0 || err <= ERR_MAX) {
    WK_LOG_CRIT("worker: unknown error code [%d].\n", err);
    return -1;
  }
  WK_LOG_INFO("Worker (%d): HandleError: %s.\n", GetId(), GetErrorString(err));
  const HandlerRow& row = kHandler[-err];
  int action = row.action;
  const Event& e = context.current_event;
  if (action < 0) {
    WK_LOG_CRIT("Worker (%d): unexpected error code [%d].\n", GetId(), err);
    LogFailure(err, action);
    return action;
  }
  if (err == ERR_SYS) {
    ClearCache();
    if (++sys_err_count > 3) {
      sys_err_count = 0;
      action = 2;
    }
    if (patch_err_count > 2) {
      WK_LOG_ERROR("Worker (%d): patch error count has reached limit, event will be dropped.\n", GetId());
      patch_err_count = 0;
      action = 0;
    }
  } else {
    sys_err_count = 0;
    patch_err_count = 0;
    if (err == ERR_LOCAL_DISKFULL) {
      WK_LOG_ERROR("get disk full\n");
      ClearCache();
    }
  }
  if (err != ERR_OK) LogFailure(err, action);
  // Success ends a session error, except the lost-folder error, which only
  // the folder's return (or the user) ends.
  if (err == ERR_OK && !env.removal_guard.RootLost(e.m_sess_id)) env.session_state.SetOk(e.m_sess_id);
  switch (row.err_type) {
    case ERR_SESSION:
      env.session_state.SetError(e.m_sess_id, ustring(std::string(GetErrorString(err)) + " while syncing '" +
                                                      std::string(e.m_path.utf8_view()) + "'"));
      env.notices.SessionError(e.m_sess_id, err);
      break;
    case ERR_CONNECTION: {
      ConnectionPool* pool = env.pool.load();
      env.notices.ConnectionError(pool != nullptr ? pool->getConnectionId() : 0, err);
      break;
    }
    case ERR_FILE: {
      Event locked;
      locked.m_path = e.m_path;
      locked.m_sess_id = e.m_sess_id;
      locked.m_mode = e.m_mode;
      env.notices.FileLocked(locked, err);
      break;
    }
    case ERR_NONE:
      WK_LOG_DEBUG("No type for error: %d\n", err);
      break;
  }
  return action;
}

void Worker::LogFailure(int err, int action) {
  const Event& e = context.current_event;
  const char* what = e.IsServerEvent() ? (e.m_type == Event::EV_REMOVE ? "removal of the local copy" : "download")
                                       : (e.m_type == Event::EV_REMOVE ? "removal on the server" : "upload");
  const char* next = action == 0 ? "given up" : action == 2 ? "tried again later" : "kept and tried again";
  const auto sess = static_cast<unsigned long long>(e.m_sess_id);
#define TW_FAILURE_LINE_ "Worker (%d): %s of '%s' (session %llu) failed: %s; %s\n", GetId(), what, \
                         e.m_path.c_str_utf8(), sess, GetErrorString(err), next
  if (err == ERR_CH_CONNECTION_ABORT)  // a pause: nothing is wrong
    WK_LOG_INFO(TW_FAILURE_LINE_);
  else if (action == 0)
    WK_LOG_ERROR(TW_FAILURE_LINE_);
  else
    WK_LOG_WARNING(TW_FAILURE_LINE_);
#undef TW_FAILURE_LINE_
}

int Worker::DoneEvent() {
  notify_file_status = kNotifyFileStatus[notify_event_type];
  if (notify_event_type > NOTIFY_FILTERED) {
    NotifyEvent(notify_event_type);
    notify_event_type = NOTIFY_NONE;
  }
  Event e = context.current_event;
  if (env.events.DoneEvent(this, e) < 0) {
    WK_LOG_DEBUG("Worker (%d): processing event '%s' not yet done.\n", GetId(), e.toString().c_str_utf8());
    context.current_event = e;
    ClearCache();
    return -1;
  }
  if (notify_file_status != -1) {
    env.events.SyncedEvent2FStatDB(SyncStatusKey(context.root_entry.local_path, e.m_path));
    notify_file_status = -1;
  }
  if (e.m_mode & Event::F_SUBDIR_RESCAN_ANY) CreateDirSelfEvent();
  WK_LOG_DEBUG("Worker (%d): processing event '%s' done\n", GetId(), e.toString().c_str_utf8());
  ClearCache();
  context.clear();
  return 0;
}

void Worker::RedoEvent() {
  if (env.events.RedoEvent(this, context.current_event) != 0)
    WK_LOG_ERROR("Worker (%d): failed to redo event\n", GetId());
  ClearCache();
  context.clear();
  notify_event_type = NOTIFY_NONE;
  pass_redone = true;
}

void Worker::NotifyEvent(NotifyEventType type) {
  static constexpr Event::Type kTypes[] = {Event::EV_EMPTY,  Event::EV_EMPTY,  Event::EV_MODIFY,
                                           Event::EV_REMOVE, Event::EV_MODIFY, Event::EV_REMOVE};
  Event e;
  e.m_type = kTypes[type];
  e.m_path = context.current_event.m_path;
  e.m_sess_id = context.current_event.m_sess_id;
  e.m_mode = context.current_event.m_mode;
  WK_LOG_DEBUG("event type = %d, path = %s\n", static_cast<int>(e.m_type), e.m_path.c_str_utf8());
  if (e.m_type != Event::EV_EMPTY) env.notices.FileEvent(e);
}

// --- protocol exchange --------------------------------------------------------

int Worker::RunProtocol(Channel& ch, unsigned char command, const PObject& request, PObject& response) {
  trans_stream.SetDefaultRecvLocation(context.working_directory);
  ch.SetFlag(&abort_flag);
  const ustring action = request["_action"].asString();
  if (WK_DEBUG_ENABLED()) WK_LOG_DEBUG("Worker (%d): RunProtocol <<< %s\n", GetId(), request.toString().c_str_utf8());

  int result = 0;
  int rc = ProtoWriteHeader(ch, 0, command);
  if (rc != 0) {
    WK_LOG_ERROR("Worker (%d): RunProtocol(%s): failed to send header, stream error code = %d.\n", GetId(),
                 action.c_str_utf8(), rc);
    result = abort_flag.load() ? streamErr2DaemonErr(kStreamChannel) : ERR_IO;
  } else if ((rc = trans_stream.Send(ch, request)) != 0) {
    WK_LOG_ERROR("Worker (%d): RunProtocol(%s): failed to send request. stream error code = %d.\n", GetId(),
                 action.c_str_utf8(), rc);
    result = streamErr2DaemonErr(rc);
  } else {
    ch.SetTimeout(90);
    if (action.utf8_view() == "upload" || action.utf8_view() == "resume_upload") ch.SetFlag(nullptr);
    // A resumed receive arrives pre-filled with the file it continues; every
    // object is decoded into a fresh copy of that, so a keep-alive cannot
    // disturb it.
    const PObject initial(response);
    for (;;) {
      PObject obj(initial);
      rc = trans_stream.Recv(ch, obj);
      if (!obj.isMap()) {
        // A reply is a map. Anything else (a bare binary from a broken or
        // hostile server) would become a map at the first lookup below,
        // losing its file and the partial body the request continued:
        // delete what arrived and give the caller the request's own files.
        DropFilesNotIn(obj, initial);
        obj = initial;
        if (rc == 0) rc = kStreamMalformed;
      }
      if (rc == 0 && obj["type"].asStringRef().utf8_view() == "keep_alive") {
        WK_LOG_DEBUG("Worker (%d): get keepalive message\n", GetId());
        DropFilesNotIn(obj, initial);
        continue;
      }
      // A reply that puts another value where the continued body was (the
      // "file" part a string, say) leaves that partial file named nowhere:
      // it goes now, or it would stay in the working folder for good.
      DropFilesNotIn(initial, obj);
      response = std::move(obj);
      if (rc != 0) {
        WK_LOG_ERROR("Worker (%d): RunProtocol(%s): failed to recv response. stream error code = %d.\n", GetId(),
                     action.c_str_utf8(), rc);
        result = streamErr2DaemonErr(rc);
      }
      break;
    }
  }
  ch.SetTimeout(60);
  ch.SetFlag(nullptr);
  if (WK_DEBUG_ENABLED()) WK_LOG_DEBUG("Worker (%d): RunProtocol >>> %s\n", GetId(), response.toString().c_str_utf8());
  return result;
}

int Worker::ProtoUploadObject(Channel& ch, const PObject& request, PObject& response) {
  return request["is_dir"].asBool() ? ProtoUploadDirectory(ch, request, response)
                                    : ProtoUploadFile(ch, request, response);
}

int Worker::ProtoUploadFile(Channel& ch, const PObject& request, PObject& response) {
  int rc = RunProtocol(ch, 23, request, response);
  return rc > 0 ? 0 : rc;
}

int Worker::ProtoUploadDirectory(Channel& ch, const PObject& request, PObject& response) {
  return RunProtocol(ch, 23, request, response);
}

int Worker::ProtoDownloadObject(Channel& ch, const PObject& request, PObject& response) {
  return RunProtocol(ch, 24, request, response);
}

int Worker::ProtoRemoveObject(Channel& ch, const PObject& request, PObject& response) {
  return RunProtocol(ch, 15, request, response);
}

int Worker::streamErr2DaemonErr(int code) {
  if (abort_flag.load() != 0) {
    abort_flag.store(0);
    if (GetState() == PAUSE) return ERR_CH_CONNECTION_ABORT;
    ClearCache();
    return ERR_INT;
  }
  if (code < kStreamInput || code > kStreamLocal) return ERR_OK;
  switch (code) {
    case kStreamDiskFull:
      ClearCache();
      return ERR_LOCAL_DISKFULL;
    case -3:  // time-out
    case kStreamChannel:
      return ERR_IO;
    default:  // local failure, malformed value, unencodable value
      ClearCache();
      return ERR_SYS;
  }
}

int Worker::ProtoResp2ErrorCode(uint64_t code) {
  if (((code >> 12) & 0xF) == 0xB) return ERR_INT;
  return ConnectionHandshake(HandshakeTask::kWorker, GetId()).ProtoResp2ErrorCode(code);
}

// --- transfer cache -------------------------------------------------------------

void Worker::ClearCache() {
  ClearPObject(cached_response);
  ClearPObject(cached_request);
  if (!upload_sign_file.empty()) {
    if (FSRemove(upload_sign_file, false) != 0)
      WK_LOG_WARNING("cannot delete signature file '%s'\n", upload_sign_file.c_str_utf8());
    upload_sign_file.clear();
  }
}

void Worker::ClearPObject(PObject& obj) {
  std::vector<ustring> paths;
  CollectBinaries(obj, paths);
  const std::string local(context.root_entry.local_path.utf8_view());
  for (const ustring& path : paths) {
    if (!IsUnder(path.utf8_view(), context.working_directory.utf8_view()) || !fs.IsOpen()) continue;
    ustring rel(std::string(path.utf8_view().substr(local.size())));
    int rc = fs.Unlink(rel);
    if (rc < 0 && rc != -ENOENT)
      WK_LOG_WARNING("cannot delete received file '%s': %s\n", path.c_str_utf8(), SessionFsErrorString(rc).c_str());
  }
  obj.clear();
}

void Worker::DropFilesNotIn(const PObject& from, const PObject& kept) {
  std::vector<ustring> got;
  std::vector<ustring> keep;
  CollectBinaries(from, got);
  CollectBinaries(kept, keep);
  for (const ustring& path : got) {
    if (std::find(keep.begin(), keep.end(), path) != keep.end()) continue;
    PObject::binary_type b;
    b.path = path;
    PObject stray(b);
    ClearPObject(stray);
  }
}

// --- helpers shared by the roads ---------------------------------------------

ustring Worker::RemotePath(const ustring& path) const {
  const ustring& remote = context.root_entry.remote_path;
  if (remote.empty() || remote.utf8_view() == "/") return path;
  std::string out(remote.utf8_view());
  while (!out.empty() && out.back() == '/') out.pop_back();
  if (path.utf8_view() != "/") out.append(path.utf8_view());
  return ustring(out);
}

void Worker::AddSessionKeys(PObject& request) const {
  ConnectionPool* pool = env.pool.load();
  request["session"] = pool != nullptr ? pool->getSession() : ustring();
  request["view_id"] = static_cast<unsigned long long>(context.root_entry.view_id);
  ConnectionHandshake::AppendAgent(request);
}

void Worker::AddBaseIds(PObject& request, const ClientFileEventInfo& base) const {
  if (g_server_version.load() == 2402) {
    request["sync_id"] = static_cast<unsigned long long>(base.maxSyncID);
  } else {
    request["sync_id"] = static_cast<unsigned long long>(base.syncID);
    request["max_id"] = static_cast<unsigned long long>(base.maxSyncID);
  }
}

int Worker::ExchangeOnConnection(const std::function<int(Channel&)>& exchange, const PObject& reply,
                                 bool& handshake_failed) {
  handshake_failed = false;
  ConnectionPool* pool = env.pool.load();
  if (pool == nullptr) {
    WK_LOG_ERROR("Worker (%d): no server connection is linked\n", GetId());
    handshake_failed = true;
    return ERR_IO;
  }
  PooledConnection conn(*pool);
  ConnectionHandshake hs(HandshakeTask::kWorker, GetId(),
                         [this](Channel& ch, uint8_t command, const PObject& request, PObject& response) {
                           int rc = RunProtocol(ch, command, request, response);
                           // No handshake reply carries a file of use: what
                           // a broken or hostile server put in one (a partial
                           // binary included) goes now, or it would stay in
                           // the working folder.
                           PObject received(response);
                           ClearPObject(received);
                           return rc;
                         });
  int rc = hs.RequestChannel(*pool, *conn, context.root_entry.view_id);
  if (rc != 0) {
    conn->Drop();
    handshake_failed = true;
    return rc;
  }
  rc = exchange(conn->GetChannel());
  if (rc != 0)
    conn->Drop();
  else
    conn->Update(reply["alive"].asUInt32());
  return rc;
}

ustring Worker::ClientName() const {
  ConnectionPool* pool = env.pool.load();
  ustring name = pool != nullptr ? pool->getClientName() : ustring();
  if (name.empty() && GetSysHostName(name) != 0) name = "client";
  return name;
}

int Worker::StatLocal(const ustring& path, FILE_INFO& info, const char* where) {
  int rc = fs.Stat(path, info);
  if (rc == -ELOOP || rc == -EXDEV) {
    WK_LOG_ERROR("%s: refusing '%s': %s\n", where, path.c_str_utf8(), SessionFsErrorString(rc).c_str());
    return 1;
  }
  if (rc < 0) {
    WK_LOG_ERROR("%s: cannot examine '%s': %s\n", where, fs.FullPath(path).c_str_utf8(),
                 SessionFsErrorString(rc).c_str());
    return ERR_SYS;
  }
  if (info.isExist && info.type != FT_FILE && info.type != FT_DIR) {
    WK_LOG_ERROR("%s: refusing '%s': the local item is a symbolic link or special file\n", where,
                 path.c_str_utf8());
    return 1;
  }
  return 0;
}

}  // namespace tidewell
