// The download road: decides whether a server change must be fetched at
// all (the database already holds it, the local item already is it, or an
// identical file lies in the recycle folder or elsewhere in the session),
// asks the server for it with a resumable request, and commits the record
// once the object is in place (worker_apply.cc builds and places it).

#include <string>
#include <utility>

#include "base/error_code.h"
#include "base/tmp_name_gen.h"
#include "db/file_event_db.h"
#include "db/filter_db.h"
#include "net/connection_pool.h"
#include "platform/file_lock.h"
#include "platform/file_stat.h"
#include "sync/sync_log.h"
#include "sync/worker.h"

namespace tidewell {

namespace {

// The access a download needs to the local item: read, write and delete.
constexpr uint32_t kDownloadAccess = kAccessRead | kAccessWrite | kAccessDelete;

// A path stored in the event database, with or without its leading "/", as
// a session-relative path ("/a/b"). Empty when it is not a clean path.
ustring StoredToSessionPath(const ustring& stored) {
  std::string p(stored.utf8_view());
  if (p.empty() || p.front() != '/') p.insert(p.begin(), '/');
  ustring out(p);
  return CheckSessionPath(out) == kPathOk && p != "/" ? out : ustring();
}

}  // namespace

void Worker::ClearCommitInfo(ClientFileEventInfo& record) {
  ClientFileEventInfo cleared;
  cleared.maxSyncID = record.maxSyncID;
  cleared.execBit = record.execBit;
  record = cleared;
}

int Worker::UpdateDatabaseInfo(const ClientFileEventInfo& record) {
  auto db = GetEventDatabase();
  if (!db) {
    WK_LOG_ERROR("UpdateDatabaseInfo: missing databasehandle\n");
    return -1;
  }
  int rc = db->setEventInfo(record);
  if (rc != 0) {
    WK_LOG_ERROR("UpdateDatabaseInfo: failed to update database, error code %d\n", rc);
    return -1;
  }
  return 0;
}

int Worker::CommitLocalVersion(uint32_t mtime, const ustring& sign_file) {
  const Event& ev = context.current_event;
  ClientFileEventInfo record;
  ClearCommitInfo(record);
  record.syncID = ev.m_sync_id;
  record.maxSyncID = ev.m_max_id;
  record.path = ev.m_path;
  record.fileType = ev.IsDir() ? 1 : 0;
  record.isExist = 1;
  record.fileSize = ev.IsDir() ? 0 : ev.m_data_size;
  record.fileCheckSum = ev.IsDir() ? ustring() : ev.m_data_hash;
  record.fileModTime = mtime;
  record.signaturePath = sign_file;
  record.macHash = ev.m_mac_attr_hash;
  record.execBit = ev.m_exec_bit;
  if (UpdateDatabaseInfo(record) != 0) {
    WK_LOG_ERROR("CommitDatabase: Failed to update local event database.\n");
    return -1;
  }
  if (env.filter_db.rmLocalFilteredEventByPath(ev.m_sess_id, ev.m_path) != 0) {
    WK_LOG_ERROR("CommitDatabase: Failed to remvoe filter db record for session '%llu', path '%s' .\n",
                 static_cast<unsigned long long>(ev.m_sess_id), ev.m_path.c_str_utf8());
    return -1;
  }
  return 0;
}

int Worker::CommitDatabaseDownload(const PObject& response, const ClientFileEventInfo& base,
                                   const ustring& sign_file) {
  const Event& ev = context.current_event;
  ClientFileEventInfo record;
  ClearCommitInfo(record);
  record.syncID = response["sync_id"].asUInt64();
  record.maxSyncID = g_server_version.load() == 2402 ? record.syncID : response["max_id"].asUInt64();
  const bool is_dir = response["is_dir"].asBool();
  record.fileType = is_dir ? 1 : 0;
  record.isExist = 1;
  record.path = ev.m_path;
  if (is_dir) {
    record.fileSize = 0;
  } else if (response.hasMember("file") && !response["file"]["refer"].asBool()) {
    record.fileSize = response["file"]["size"].asUInt64();
    record.fileCheckSum = response["file"]["hash"].asString();
  } else {
    record.fileSize = base.fileSize;
    record.fileCheckSum = base.fileCheckSum;
  }
  if (response.hasMember("mtime"))
    record.fileModTime = response["mtime"]["refer"].asBool() ? base.fileModTime : response["mtime"]["mtime"].asUInt32();
  else if (response.hasMember("common_attribute"))
    record.fileModTime = response["common_attribute"]["mtime"].asUInt32();
  else
    record.fileModTime = base.fileModTime;
  const PObject& mac = response["mac_attribute"];
  record.macHash = response.hasMember("mac_attribute") && !mac["refer"].asBool() ? mac["hash"].asString() : base.macHash;
  const PObject& exec = response["exec_bit"];
  record.execBit = response.hasMember("exec_bit") && !exec["refer"].asBool() ? exec["exec_bit"].asUInt32() : base.execBit;
  record.signaturePath = sign_file.empty() ? base.signaturePath : sign_file;
  int rc = UpdateDatabaseInfo(record);
  if (rc != 0) {
    WK_LOG_ERROR("CommitDatabase: Failed to update local event database. Error code = %d\n", rc);
    return -1;
  }
  if (env.filter_db.rmLocalFilteredEventByPath(ev.m_sess_id, ev.m_path) != 0) {
    WK_LOG_ERROR("CommitDatabase: Failed to remvoe filter db record for session '%llu', path '%s' .\n",
                 static_cast<unsigned long long>(ev.m_sess_id), ev.m_path.c_str_utf8());
    return -1;
  }
  return 0;
}

int Worker::MergeEvent() {
  const Event& ev = context.current_event;
  const ustring& path = ev.m_path;
  FILE_INFO local;
  if (StatLocal(path, local, "MergeEvent") != 0) return -1;
  if (!local.isExist) {
    WK_LOG_INFO("MergeEvent: missing local file, merge failed\n");
    return -1;
  }
  if (local.type == FT_DIR) {
    if (!ev.IsDir()) {
      WK_LOG_INFO("MergeEvent: type different 1\n");
      return -1;
    }
    WK_LOG_INFO("MergeEvent: both sides are folders and ea not change.\n");
    uint32_t mtime = ev.m_time != 0 ? ev.m_time : local.mtime;
    return CommitLocalVersion(mtime, ustring());
  }
  if (ev.IsDir()) {
    WK_LOG_INFO("MergeEvent: type different 2\n");
    return -1;
  }
  if (local.size != ev.m_data_size) {
    WK_LOG_INFO("MergeEvent: local file is different in size, merge failed\n");
    return -1;
  }
  TempFile sign_file(context.sign_directory);
  if (sign_file.create() != 0) {
    WK_LOG_ERROR("MergeEvent: failed to create temp file'\n");
    return -1;
  }
  ustring hash;
  if (ReadLocalFile(path, hash, &sign_file) != 0) {
    WK_LOG_ERROR("MergeEvent: failed to read '%s'\n", context.full_path.c_str_utf8());
    return -1;
  }
  if (hash != ev.m_data_hash) {
    WK_LOG_INFO("MergeEvent: local file is different in hash, merge failed\n");
    return -1;
  }
  uint32_t mtime = ev.m_time != 0 ? ev.m_time : local.mtime;
  if (context.root_entry.isMSDOS) mtime &= ~1u;
  if (mtime != local.mtime && fs.SetTimes(path, mtime) != 0) WK_LOG_WARNING("MergeEvent: failed to set modified time\n");
  return CommitLocalVersion(mtime, sign_file.getPath());
}

int Worker::PrepareFileFromLocal() {
  const Event& ev = context.current_event;
  const ustring& path = ev.m_path;
  auto db = GetEventDatabase();
  if (!db) {
    WK_LOG_ERROR("PreparFileFromLocal: missing databasehandle\n");
    return -1;
  }
  // Without a content hash any row would match (folders have none).
  if (ev.m_data_hash.empty()) return -1;

  ustring found;
  ustring source;        // session-relative
  ustring recycle_name;  // the recycle row, when the source is recycled
  if (db->getFilePathByHashFromRecycle(ev.m_data_hash, ev.m_mac_attr_hash, found) == 1) {
    std::string name(found.utf8_view());
    while (!name.empty() && name.front() == '/') name.erase(name.begin());
    ustring rel(std::string(RecycleBinRel().utf8_view()) + "/" + name);
    if (!name.empty() && name.find("/..") == std::string::npos && name.rfind("..", 0) != 0) {
      source = rel;
      recycle_name = found;
      WK_LOG_INFO("Copy file from recycle bin '%s'\n", fs.FullPath(source).c_str_utf8());
    }
  }
  if (source.empty()) {
    if (db->getFilePathByHash(ev.m_data_hash, ev.m_mac_attr_hash, found) != 1) return -1;
    source = StoredToSessionPath(found);
    if (source.empty() || source == path) return -1;
    WK_LOG_INFO("Copy file from syncfolder '%s'.\n", fs.FullPath(source).c_str_utf8());
  }

  TempFile sign_file(context.sign_directory);
  if (sign_file.create() != 0) {
    WK_LOG_ERROR("PreparFileFromLocal: Failed to create temp signature file.\n");
    return -1;
  }
  // A recycled file is used as it is (it will be moved); a file elsewhere in
  // the session is copied into the working folder while it is read.
  ustring file = source;
  ustring copy_rel;
  ustring hash;
  int rc;
  if (recycle_name.empty()) {
    copy_rel = TmpNameGen::getInstance().getTmpName(WorkingRel());
    UniqueFd out;
    rc = fs.Create(copy_rel, true, 0666, out);
    if (rc != 0) {
      WK_LOG_ERROR("PreparFileFromLocal: Failed to create temp file.\n");
      return -1;
    }
    rc = ReadLocalFile(source, hash, &sign_file, out.get());
    file = copy_rel;
  } else {
    rc = ReadLocalFile(source, hash, &sign_file);
  }
  auto drop_copy = [&] {
    if (!copy_rel.empty()) (void)fs.Unlink(copy_rel);
  };
  if (rc != 0) {
    WK_LOG_ERROR("PreparFileFromLocal: Failed to prepare file [%d].\n", rc);
    drop_copy();
    return -1;
  }
  if (hash != ev.m_data_hash) {
    WK_LOG_WARNING("PreparFileFromLocal: File locally modification, can not use local copy.\n");
    drop_copy();
    return -1;
  }
  uint32_t mtime = ev.m_time;
  if (context.root_entry.isMSDOS) mtime &= ~1u;
  if (fs.SetTimes(file, mtime) != 0) WK_LOG_WARNING("PreparFileFromLocal: failed to set modified time\n");

  // The local item may hold changes of its own: settle that as a download
  // would before anything is put in its place.
  PObject remote;
  remote["is_dir"] = false;
  remote["file"]["size"] = static_cast<unsigned long long>(ev.m_data_size);
  remote["file"]["hash"] = ev.m_data_hash;
  if (HandleDownloadConflict(remote) != 0) {
    drop_copy();
    return -1;
  }
  OnDownloadConflictChecked(path);
  std::string target(path.utf8_view());
  std::string parent = target.substr(0, target.rfind('/'));
  rc = parent.empty() ? 0 : fs.MakeDirs(ustring(parent));
  // An edit that landed after the check is settled by the download instead.
  if (rc == 0 && !LocalStillAsChecked()) {
    drop_copy();
    return -1;
  }
  if (rc == 0) rc = fs.DurableReplace(file, path);
  if (rc != 0) {
    WK_LOG_ERROR("PreparFileFromLocal: Cannot rename from %s -> %s (%s)\n", fs.FullPath(file).c_str_utf8(),
                 context.full_path.c_str_utf8(), SessionFsErrorString(rc).c_str());
    drop_copy();
    return -1;
  }
  if (!recycle_name.empty()) {
    // The lookup answers with a leading "/" whether or not the row has one.
    std::string bare(recycle_name.utf8_view().substr(1));
    if (db->rmRecycleByPath(recycle_name) != 0 || db->rmRecycleByPath(ustring(bare)) != 0)
      WK_LOG_ERROR("Failed to rmRecycleByPath for '%s'\n", recycle_name.c_str_utf8());
  }
  return CommitLocalVersion(mtime, sign_file.getPath());
}

int Worker::ProtoResumeDownloadObject(Channel& ch, PObject& request, PObject& response) {
  if (request.hasMember("_resume_token")) {
    int rc = RunProtocol(ch, 27, request, response);
    return rc > 0 ? 0 : rc;
  }
  PObject token_request;
  token_request["_action"] = "resume_get_token";
  AddSessionKeys(token_request);
  PObject token_reply;
  int rc = RunProtocol(ch, 27, token_request, token_reply);
  if (rc != 0) {
    ClearPObject(token_reply);
    return rc;
  }
  if (token_reply.hasMember("error")) {
    ClearPObject(response);
    response = std::move(token_reply);
    return 0;
  }
  request["_resume_token"] = token_reply["resume_token"].asString();
  cached_request["_resume_token"] = token_reply["resume_token"].asString();
  ClearPObject(token_reply);
  rc = RunProtocol(ch, 27, request, response);
  return rc > 0 ? 0 : rc;
}

int Worker::DownloadRemote() {
  Event& ev = context.current_event;
  const ustring path = ev.m_path;
  int rc = TestDownloadRemoteFilter();
  if (rc != 1) {
    WK_LOG_WARNING("DownloadRemote: File '%s' cannot pass filter testing '%d'.\n", path.c_str_utf8(), rc);
    return rc;
  }
  // The local item is looked at without following links: one on the way,
  // or in the item's place, means the path is refused.
  FILE_INFO local;
  rc = StatLocal(path, local, "DownloadRemote");
  if (rc == 1) return ERR_OK;
  if (rc != 0) {
    WK_LOG_ERROR("DownloadRemote: Failed to get local file info (%s)\n", context.full_path.c_str_utf8());
    return ERR_SYS;
  }
  if (local.isExist && isFileLocked(context.full_path, kDownloadAccess)) {
    WK_LOG_ERROR("Worker (%d): unable to handle locked/no permission file '%s'.\n", GetId(),
                 context.full_path.c_str_utf8());
    return ERR_LOCKED_FILE;
  }
  SetCurrentProcessEventInfo(ev.m_sess_id, path, W_TYPE_DOWNLOAD);
  ClientFileEventInfo base = context.database_record;

  const bool forced = ev.m_sync_id == Event::kForcedSyncId;
  if (forced && base.syncID == 0) {
    WK_LOG_INFO("Force download '%s' but cannot find any record in event DB, skipping....\n", path.c_str_utf8());
    return ERR_OK;
  }
  if (forced) {
    if (local.isExist && !LocallyModified(local, base, ustring())) {
      WK_LOG_INFO("Force download event but NOT LocallyModified.\n");
      return ERR_OK;
    }
    if (g_server_version.load() == 2402) {
      ev.m_sync_id = ev.m_max_id = base.maxSyncID;
    } else {
      ev.m_sync_id = base.syncID;
      ev.m_max_id = base.maxSyncID;
    }
    WK_LOG_INFO("(%d) Convert MAX_SYNC_ID  to target_sync_id [%llu]\n", GetId(),
                static_cast<unsigned long long>(ev.m_sync_id));
    base.Clear();
  }
  if (base.syncID != 0 && base.fileType == 0 && !IsFileExist(base.signaturePath, false))
    WK_LOG_NOTE("DownloadRemote: missing signature while downloading '%s'.\n", path.c_str_utf8());
  if (!local.isExist) {
    base.Clear();
    if (ev.IsFile()) RemoveDatabaseInfo();
  }
  if (base.syncID >= ev.m_sync_id) {
    WK_LOG_INFO("DownloadRemote: File '%s' is already up-to-date (server echo).\n", path.c_str_utf8());
    return ERR_OK;
  }
  if (MergeEvent() == 0) {
    WK_LOG_INFO("DownloadRemote: '%s' is merged successfully\n", path.c_str_utf8());
    notify_event_type = NOTIFY_SERVER_MODIFY;
    return ERR_OK;
  }
  if (ev.IsFile()) {
    if (PrepareFileFromLocal() == 0) {
      WK_LOG_INFO("DownloadRemote: PreparFileFromLocal successfully.\n");
      notify_event_type = NOTIFY_SERVER_MODIFY;
      return ERR_OK;
    }
    WK_LOG_INFO("DownloadRemote: Cannot PreparFileFromLocal, download from server directly.\n");
  }

  // The request, or the one of an interrupted attempt with the partly
  // received file it continues.
  PObject request;
  PObject response;
  if (cached_request.isEmpty()) {
    AddSessionKeys(request);
    AddBaseIds(request, base);
    request["target_sync_id"] = static_cast<unsigned long long>(ev.m_sync_id);
    request["path"] = RemotePath(path);
    for (const char* part : {"file", "mtime"}) {
      request[part]["ignore"] = false;
      request[part]["offset"] = 0;
    }
    for (const char* part : {"mac_attribute", "exec_bit"}) {
      request[part]["ignore"] = true;
      request[part]["offset"] = 0;
    }
    request["force_current_version"] = false;
    request["_action"] = "resume_download";
    cached_request = request;
  } else {
    WK_LOG_DEBUG("Worker (%d): cached_request %s\n", GetId(), cached_request.toString().c_str_utf8());
    WK_LOG_DEBUG("Worker (%d): cached_response %s\n", GetId(), cached_response.toString().c_str_utf8());
    request = cached_request;
    PObject::binary_type partial = cached_response["file"]["data"].asBinary();
    FILE_INFO part;
    ustring part_rel;
    const std::string local_root(context.root_entry.local_path.utf8_view());
    if (!partial.path.empty() && partial.path.utf8_view().rfind(std::string(context.working_directory.utf8_view()) + "/", 0) == 0)
      part_rel = ustring(std::string(partial.path.utf8_view().substr(local_root.size())));
    if (!part_rel.empty() && fs.Stat(part_rel, part) == 0 && part.isExist && part.type == FT_FILE) {
      // Keep the partial file out of the clean-up of the old reply.
      cached_response["file"]["data"] = PObject();
      request["file"]["offset"] = static_cast<unsigned long long>(part.size);
      partial.offset = part.size;
      partial.length = part.size;
      response["file"]["data"] = partial;
      WK_LOG_DEBUG("Worker (%d): continue download file to %s, offset %llu\n", GetId(), partial.path.c_str_utf8(),
                   static_cast<unsigned long long>(part.size));
    }
    ClearPObject(cached_response);
  }

  bool handshake_failed = false;
  rc = ExchangeOnConnection([&](Channel& ch) { return ProtoResumeDownloadObject(ch, request, response); }, response,
                            handshake_failed);
  if (handshake_failed) {
    WK_LOG_ERROR("DownloadRemote: Failed to establish communication channel %s\n", GetErrorString(rc));
    ClearPObject(response);
    return rc;
  }
  if (rc != 0) {
    WK_LOG_ERROR("Worker (%d): failed to download '%s'. %s.\n", GetId(), path.c_str_utf8(), GetErrorString(rc));
    WK_LOG_DEBUG("Worker (%d): partial response %s\n", GetId(), response.toString().c_str_utf8());
    // Looked up read-only: a lookup through a value of another kind (a
    // body where the "file" part belongs) would replace it, and the file it
    // names would be deleted by nothing.
    const PObject::binary_type& got = std::as_const(response)["file"]["data"].asBinary();
    if (!got.path.empty() && !cached_request.isEmpty()) {
      WK_LOG_DEBUG("Worker (%d): partial file in response is stored (at '%s' with size %llu).\n", GetId(),
                   got.path.c_str_utf8(), static_cast<unsigned long long>(got.length));
      cached_response = std::move(response);
    } else {
      ClearPObject(response);
    }
    return rc;
  }

  // From here on the request and the reply end with this attempt; the
  // reply is read through `reply` only, so that no lookup reshapes it and
  // drops a file the clean-up must delete.
  const PObject& reply = response;
  struct Cleanup {
    Worker& w;
    PObject& a;
    PObject& b;
    ~Cleanup() {
      w.ClearPObject(a);
      w.ClearPObject(b);
    }
  } cleanup{*this, request, response};

  if (reply.hasMember("error")) {
    ClearCache();
    const uint64_t code = reply["error"]["code"].asUInt64();
    if (code != 0x8001)
      WK_LOG_WARNING("DownloadRemote: the server refused the download of '%s': code 0x%llx\n", path.c_str_utf8(),
                     static_cast<unsigned long long>(code));
    if (code == 0x8001) {
      WK_LOG_INFO("DownloadRemote: Object %s is removed, fake event, abort anyway\n", path.c_str_utf8());
      return RemoveLocal();
    }
    if (((code >> 12) & 0xF) == 0xB) return ERR_INT;
    int mapped = ProtoResp2ErrorCode(code);
    WK_LOG_ERROR("DownloadRemote: Bad response: %s\n", GetErrorString(mapped));
    return mapped;
  }
  if (context.root_entry.isMSDOS) AdjustMtimeForMSDOS(response);
  if (reply["sync_id"].asUInt64() == std::as_const(request)["sync_id"].asUInt64()) {
    WK_LOG_INFO("DownloadRemote: %s is already up to date\n", path.c_str_utf8());
    notify_event_type = NOTIFY_SERVER_MODIFY;
    return ERR_OK;
  }
  TempFile sign_file(context.sign_directory);
  if (reply["is_dir"].asBool()) {
    rc = ProcessDownloadDirectory(reply);
    if (rc != 0) return rc;
  } else {
    rc = ProcessDownloadFile(reply, sign_file);
    if (rc == -100) {
      WK_LOG_CRIT("ProcessDownloadFile : encounter MAX_PATH_ERR when renaming '%s'.\n", context.full_path.c_str_utf8());
      return ERR_OK;
    }
    if (rc != 0) return rc;
  }
  rc = CommitDatabaseDownload(reply, base, sign_file.getPath());
  if (rc != 0) {
    WK_LOG_ERROR("DownloadRemote: Failed to commit changes to '%s' into local database. Error Code = %d\n",
                 context.full_path.c_str_utf8(), rc);
    return ERR_SYS;
  }
  notify_event_type = NOTIFY_SERVER_MODIFY;
  return ERR_OK;
}

}  // namespace tidewell
