// The upload road: local changes sent to the server.
//
// A file's content is read once, through a descriptor opened without
// following links, for its digest, its new signature and (when the server
// holds an earlier version) its delta against the stored signature; the
// file is then looked at again, and one that moved meanwhile is not sent
// but tried again later (ChangeBackoff). A whole file travels from that
// same descriptor. Files above 512 KiB go through the resumable exchange
// with the de-duplication probe; a broken transfer keeps its request and
// token, and the next attempt sends only what the server lacks.

#include <cerrno>
#include <string>
#include <string_view>

#include "base/error_code.h"
#include "db/file_event_db.h"
#include "db/filter_db.h"
#include "delta/file_reader.h"
#include "events/event_generator.h"
#include "net/connection_pool.h"
#include "platform/file_lock.h"
#include "platform/file_stat.h"
#include "platform/temp_path.h"
#include "sync/conflict_rename.h"
#include "sync/removal_guard.h"
#include "sync/sync_log.h"
#include "sync/worker.h"

namespace tidewell {

namespace {

// Files above this size use the resumable exchange.
constexpr uint64_t kPlainUploadLimit = 0x80000;
constexpr uint32_t kBlockLength = 2048;
constexpr uint32_t kStrongSumLength = 8;

// The command byte of the resumable family.
constexpr unsigned char kResumeCommand = 27;
constexpr unsigned char kUploadCommand = 23;

std::string_view FinalName(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool SameState(const FILE_INFO& a, const FILE_INFO& b) {
  return a.isExist == b.isExist && a.type == b.type && a.size == b.size && a.mtime == b.mtime &&
         a.mtime_nsec == b.mtime_nsec;
}

// Whether the record's size and time can vouch for the file: only when the
// file was last changed before its recorded version was read (the moment
// the record's signature file was written). A change within the same second
// as that read leaves the same size and second behind, and must be read.
bool RecordVouches(const FILE_INFO& local, const ClientFileEventInfo& base) {
  if (base.signaturePath.empty()) return false;
  FILE_INFO sign;
  if (FSStat(base.signaturePath, sign, false) != 0 || !sign.isExist) return false;
  return local.mtime < sign.mtime || (local.mtime == sign.mtime && local.mtime_nsec < sign.mtime_nsec);
}

}  // namespace

int Worker::UploadLocal() {
  const Event& e = context.current_event;
  const ustring path = e.m_path;
  int rc = TestUploadLocalFilter();
  if (rc != 1) {
    WK_LOG_WARNING("UploadLocal: File '%s' cannot pass filter testing '%d'.\n", path.c_str_utf8(), rc);
    return rc;
  }
  if (path.utf8_view() == "/") {
    WK_LOG_DEBUG("UploadLocal: the session folder itself is not uploaded\n");
    return 0;
  }
  // Nothing is read from a folder that is not the session's any more.
  if (env.removal_guard.CheckRoot(context.root_entry) != 0) return ERR_INT;
  if (!env.upload_backoff.Due(e.m_sess_id, path)) {
    WK_LOG_DEBUG("UploadLocal: '%s' was still changing; tried again later\n", path.c_str_utf8());
    return ERR_INT;
  }

  SetCurrentProcessEventInfo(e.m_sess_id, path, W_TYPE_UPLOAD);
  FILE_INFO local;
  rc = fs.Stat(path, local);
  if (rc == -ELOOP || rc == -EXDEV) {
    WK_LOG_INFO("UploadLocal: '%s' cannot be uploaded (a symbolic link on its path)\n", path.c_str_utf8());
    return 0;
  }
  if (rc < 0) {
    WK_LOG_ERROR("UploadLocal: failed to get local file system info of '%s' (%s)\n",
                 fs.FullPath(path).c_str_utf8(), SessionFsErrorString(rc).c_str());
    return ERR_SYS;
  }
  const ClientFileEventInfo base = context.database_record;
  if (IsUploadLocalFakeEvent(local, base)) {
    env.upload_backoff.Settled(e.m_sess_id, path);
    return 0;
  }
  if (isFileLocked(context.full_path, kAccessRead)) {
    WK_LOG_ERROR("Worker (%d): unable to handle locked/no permission file '%s'.\n", GetId(),
                 context.full_path.c_str_utf8());
    return ERR_LOCKED_FILE;
  }
  rc = TestBaseNameConflict(ustring(std::string(FinalName(path.utf8_view()))));
  if (rc != 1) return rc;

  const bool is_dir = local.type == FT_DIR;
  if (!cached_request.isEmpty() && (cached_request["mtime"]["mtime"].asUInt32() != local.mtime ||
                                    cached_request["file"]["size"].asUInt64() != local.size)) {
    WK_LOG_WARNING("cached_request is differ from local file system for file '%s', just clear cache\n",
                   path.c_str_utf8());
    ClearCache();
  }

  // The descriptor a whole-file body is read from lives until the exchange
  // is over.
  struct FdReset {
    UniqueFd& fd;
    ~FdReset() { fd.reset(); }
  } fd_reset{upload_fd};

  PObject request;
  TempFile sign_file(context.sign_directory);
  bool resumable = false;
  if (!cached_request.isEmpty()) {
    request = cached_request;
    resumable = true;
    if ((rc = ReopenUploadBody(request)) != 0) return rc;
  } else {
    request["path"] = RemotePath(path);
    AddSessionKeys(request);
    AddBaseIds(request, base);
    request["is_dir"] = is_dir;
    request["common_attribute"]["mtime"] = local.mtime;
    if (!is_dir) {
      rc = PrepareFileBlock(request, sign_file);
      if (rc != 0) {
        WK_LOG_ERROR("UploadLocal: failed to prepare file block for '%s'. %s\n", path.c_str_utf8(),
                     GetErrorString(rc));
        ClearPObject(request);
        return rc;
      }
      env.upload_backoff.Settled(e.m_sess_id, path);
    }
    PrepareMtime(local, base, request);
    PrepareMacAttrFile(base, request);
    PrepareExecBit(base, request);
    if (!is_dir && local.size > kPlainUploadLimit) {
      request["_action"] = "resume_upload";
      resumable = true;
      cached_request = request;
      if (!sign_file.getPath().empty()) {
        sign_file.convert_permanent();
        upload_sign_file = sign_file.getPath();
      }
    } else {
      request["_action"] = "upload";
    }
  }

  if (base.syncID != 0 && IsUploadLocalFakeRequest(request)) {
    if (!request["mtime"]["refer"].asBool()) {
      int t = fs.SetTimes(path, base.fileModTime);
      if (t < 0)
        WK_LOG_WARNING("UploadLocal: cannot set the time of '%s' back: %s\n", path.c_str_utf8(),
                       SessionFsErrorString(t).c_str());
      WK_LOG_INFO("UploadLocal: Dir attr of '%s' is not changed, adjust mtime back\n", path.c_str_utf8());
    }
    ClearPObject(request);
    ClearCache();
    return 0;
  }

  PObject reply;
  bool handshake_failed = false;
  rc = ExchangeOnConnection(
      [&](Channel& ch) {
        return resumable ? ProtoResumeUploadObject(ch, request, reply) : ProtoUploadObject(ch, request, reply);
      },
      reply, handshake_failed);
  if (rc != 0) {
    if (handshake_failed)
      WK_LOG_ERROR("UploadFile: Failed to establish communication channel.\n");
    else
      WK_LOG_ERROR("Worker (%d): failed to upload '%s'. %s.\n", GetId(), path.c_str_utf8(), GetErrorString(rc));
    // A resumable upload keeps its request (and token) in the cache for the
    // next attempt; its own copy goes without touching the shared files.
    if (resumable)
      request.clear();
    else
      ClearPObject(request);
    ClearPObject(reply);
    return rc;
  }

  if (reply.hasMember("error")) {
    rc = HandleUploadError(reply);
    if (resumable)
      request.clear();
    else
      ClearPObject(request);
    ClearPObject(reply);
    return rc;
  }

  const ustring sign_path = resumable ? upload_sign_file : sign_file.getPath();
  if (CommitDatabaseUpload(request, reply, base, sign_path) != 0) {
    WK_LOG_ERROR("UploadLocal: Failed to update local event database.\n");
    rc = ERR_SYS;
  } else {
    if (!resumable) sign_file.convert_permanent();  // handed over to the database
    if (CheckLocalModification(reply, request) != 0)
      WK_LOG_ERROR("UploadLocal: Failed to CheckLocalModification.\n");
    notify_event_type = NOTIFY_CLIENT_MODIFY;
    rc = 0;
  }
  if (resumable)
    request.clear();
  else
    ClearPObject(request);
  ClearPObject(reply);
  ClearCache();
  return rc;
}

// The server's answer to an upload that it refused.
int Worker::HandleUploadError(const PObject& reply) {
  const ustring path = context.current_event.m_path;
  const uint64_t code = reply["error"]["code"].asUInt64();
  ClearCache();
  if (code == 0x9001) {
    WK_LOG_INFO("UploadFile: file is removed during transfer, try it again.\n");
    RemoveDatabaseInfo();
    return ERR_INT;
  }
  if (code == 0x9002) {
    WK_LOG_INFO("UploadFile: '%s' is changed on the server side, wait \n", path.c_str_utf8());
    return 0;
  }
  if (code == 0x6001) {
    WK_LOG_INFO("UploadFile: wait until '%s' is synced with server ... \n", path.c_str_utf8());
    return 0;
  }
  if ((code >> 12) == 0x6) {
    WK_LOG_INFO("UploadFile: Pathname '%s' conflict.\n", path.c_str_utf8());
    ustring renamed;
    if (ConflictRename(fs, path, ClientName(), ustring("Conflict"), &renamed) != 0) return ERR_SYS;
    QueueRenamedUpload(path, renamed);
    return ERR_INT;
  }
  if (code == 0x7000) {
    WK_LOG_ERROR("UploadFile: Bad response: %s\n", reply["error"].toString().c_str_utf8());
    RemoveDatabaseInfo();
    return ERR_INT;
  }
  if ((code >> 12) == 0xB) return ERR_INT;
  int mapped = ProtoResp2ErrorCode(code);
  WK_LOG_ERROR("UploadFile: Bad response: %s\n", GetErrorString(mapped));
  return mapped;
}

bool Worker::IsUploadLocalFakeEvent(const FILE_INFO& local, const ClientFileEventInfo& /*base*/) {
  const ustring& path = context.current_event.m_path;
  if (!local.isExist) {
    WK_LOG_INFO("UploadLocal: '%s' cannot be uploaded (vanish)\n", path.c_str_utf8());
    return true;
  }
  if (local.type != FT_FILE && local.type != FT_DIR) {
    WK_LOG_INFO("UploadLocal: '%s' cannot be uploaded (unsupported file)\n", path.c_str_utf8());
    return true;
  }
  return false;
}

int Worker::TestBaseNameConflict(const ustring& name) {
  const ustring path = context.current_event.m_path;
  std::string_view n = name.utf8_view();
  if (n.empty()) return 1;
  ustring renamed;
  if (n.front() == ' ' || n.back() == ' ') {
    WK_LOG_WARNING("TestBaseNameConflict : WhiteSpaceConflict '%s'.\n", path.c_str_utf8());
    if (WhiteSpaceConflictRename(fs, path, name, ClientName(), &renamed) != 0) return ERR_SYS;
    QueueRenamedUpload(path, renamed);
    return 0;
  }
  if (n.back() == '.') {
    WK_LOG_WARNING("TestBaseNameConflict : TailCharacterConflict '%s'.\n", path.c_str_utf8());
    if (ConflictRename(fs, path, ClientName(), ustring("TailCharacterConflict"), &renamed) != 0) return ERR_SYS;
    QueueRenamedUpload(path, renamed);
    return 0;
  }
  return 1;
}

// After the local object `from` was renamed to `to`: the new name is
// uploaded, and a name the server held is removed there. The change
// detector reports the same; queueing it here keeps the road complete
// without it (the queue merges the duplicates).
void Worker::QueueRenamedUpload(const ustring& from, const ustring& to) {
  FILE_INFO info;
  bool is_dir = context.current_event.IsDir();
  if (fs.Stat(to, info) == 0 && info.isExist) is_dir = info.type == FT_DIR;
  PushUploadEvent(context.root_entry, to, is_dir, env.events);
  if (context.database_record.syncID != 0) PushLocalRemoveEvent(context.root_entry, from, is_dir, env.events);
}

int Worker::PrepareMtime(const FILE_INFO& local, const ClientFileEventInfo& base, PObject& request) {
  bool same = base.fileModTime == local.mtime;
  if (!same && context.root_entry.isMSDOS) {
    uint32_t d = base.fileModTime > local.mtime ? base.fileModTime - local.mtime : local.mtime - base.fileModTime;
    same = d <= 1;
  }
  request["mtime"]["refer"] = base.syncID != 0 && same;
  request["mtime"]["mtime"] = local.mtime;
  return 0;
}

int Worker::PrepareMacAttrFile(const ClientFileEventInfo& /*base*/, PObject& request) {
  request["mac_attribute"]["refer"] = true;
  return 0;
}

int Worker::PrepareExecBit(const ClientFileEventInfo& /*base*/, PObject& request) {
  request["exec_bit"]["refer"] = true;
  return 0;
}

bool Worker::IsUploadLocalFakeRequest(const PObject& request) {
  if (!request["is_dir"].asBool() && request.hasMember("file") && !request["file"]["refer"].asBool()) return false;
  if (request.hasMember("mac_attribute") && !request["mac_attribute"]["refer"].asBool()) return false;
  if (request.hasMember("exec_bit") && !request["exec_bit"]["refer"].asBool()) return false;
  WK_LOG_INFO("upload fake request\n");
  return true;
}

int Worker::PrepareFileBlock(PObject& request, TempFile& sign_file) {
  const ustring path = context.current_event.m_path;
  const ClientFileEventInfo& base = context.database_record;
  PObject& file = request["file"];

  FILE_INFO before;
  int rc = fs.Stat(path, before);
  if (rc < 0 || !before.isExist || before.type != FT_FILE) {
    WK_LOG_ERROR("PrepareFileBlock: Failed to get file status for '%s', redo\n", path.c_str_utf8());
    return ERR_SYS;
  }
  bool refer = false;
  bool is_delta = false;
  ustring hash;
  ustring delta_path;
  if (base.syncID != 0 && RecordVouches(before, base) && !LocallyModified(before, base, ustring())) {
    WK_LOG_INFO("PrepareFileBlock: File '%s' is not modified (weak check)\n", path.c_str_utf8());
    refer = true;
  } else {
    if ((rc = fs.OpenRead(path, upload_fd)) < 0) {
      WK_LOG_ERROR("PrepareFileBlock: Failed to read file for '%s', try it again (%s)\n", path.c_str_utf8(),
                   SessionFsErrorString(rc).c_str());
      return rc == -ELOOP || rc == -EXDEV || rc == -EINVAL ? ERR_INT : ERR_SYS;
    }
    if (sign_file.create() != 0) {
      WK_LOG_ERROR("PrepareFileBlock: Failed to create signature \n");
      return ERR_SYS;
    }
    SimpleFileReader reader;
    reader.setFile(SessionFs::FdPath(upload_fd.get()));
    reader.setAbortFlag(&abort_flag);
    reader.setHashString(&hash);
    reader.setSignature(sign_file.getPath(), kBlockLength, kStrongSumLength);
    if (base.syncID != 0 && base.fileType == 0 && base.fileSize != 0 && !base.signaturePath.empty() &&
        IsFileExist(base.signaturePath, false)) {
      if (FSMktemp(context.working_directory, delta_path) != 0) {
        WK_LOG_ERROR("PrepareFileBlock: Failed to create temporary delta file, try it again\n");
        return ERR_SYS;
      }
      WK_LOG_DEBUG("PrepareFileBlock: prepare delta file at '%s'\n", delta_path.c_str_utf8());
      reader.setDelta(delta_path, base.signaturePath);
      is_delta = true;
    } else {
      WK_LOG_DEBUG("PrepareFileBlock: Cannot retrieve base event info for file '%s'\n", path.c_str_utf8());
    }
    // The delta file is the working folder's until the request carries it.
    PObject delta_holder;
    if (is_delta) delta_holder = PObject::binary_type{0, 0, delta_path};
    rc = reader.readFile();
    if (rc != 0) {
      WK_LOG_ERROR("PrepareFileBlock: Failed to read file for '%s', try it again\n", path.c_str_utf8());
      ClearPObject(delta_holder);
      if (abort_flag.load() != 0) return streamErr2DaemonErr(kStreamLocal);
      return ERR_SYS;
    }
    OnUploadContentRead(path);
    FILE_INFO after;
    FILE_INFO read_one;
    rc = fs.Stat(path, after);
    if (rc < 0 || SessionFs::StatFd(upload_fd.get(), read_one) < 0) {
      WK_LOG_ERROR("PrepareFileBlock: Failed to get file status for '%s', undo\n", path.c_str_utf8());
      ClearPObject(delta_holder);
      return ERR_SYS;
    }
    if (!SameState(before, after) || read_one.size != before.size || read_one.mtime != before.mtime ||
        read_one.mtime_nsec != before.mtime_nsec) {
      WK_LOG_INFO("PrepareFileBlock: File '%s' is modified while preparing upload (file system), try it again\n",
                  path.c_str_utf8());
      ClearPObject(delta_holder);
      // Still being written: what was read is no version of the file. The
      // next attempts wait longer each time, but never give up.
      auto wait = env.upload_backoff.Changed(context.current_event.m_sess_id, path);
      WK_LOG_INFO("PrepareFileBlock: '%s' is still being written; next attempt in %lld ms\n", path.c_str_utf8(),
                  static_cast<long long>(wait.count()));
      return ERR_INT;
    }
    if (base.syncID != 0 && hash == base.fileCheckSum) {
      WK_LOG_INFO("PrepareFileBlock: File content of '%s' is not changed, do refer\n", path.c_str_utf8());
      ClearPObject(delta_holder);
      sign_file.remove();
      refer = true;
      is_delta = false;
    }
  }

  file["size"] = static_cast<unsigned long long>(before.size);
  file["hash"] = hash;
  file["refer"] = refer;
  if (refer) {
    upload_fd.reset();
    return 0;
  }
  file["is_delta"] = is_delta;
  PObject::binary_type data;
  if (is_delta) {
    FILE_INFO delta;
    if ((rc = FSStat(delta_path, delta, false)) != 0 || !delta.isExist) {
      WK_LOG_ERROR("PrepareFileBlock: FSStat(%s) returns %d\n", delta_path.c_str_utf8(), rc);
      PObject holder(PObject::binary_type{0, 0, delta_path});
      ClearPObject(holder);
      return ERR_SYS;
    }
    data.path = delta_path;
    data.length = delta.size;
    upload_fd.reset();
  } else {
    data.path = SessionFs::FdPath(upload_fd.get());
    data.length = before.size;
  }
  data.offset = 0;
  file["data"] = data;
  return 0;
}

// A request taken from the cache whose body is the file itself reads it
// again through a new descriptor; the file must still be what was digested.
int Worker::ReopenUploadBody(PObject& request) {
  PObject& file = request["file"];
  if (request["is_dir"].asBool() || file["refer"].asBool() || file["is_delta"].asBool() ||
      !file["data"].isBinary())
    return 0;
  const ustring path = context.current_event.m_path;
  int rc = fs.OpenRead(path, upload_fd);
  FILE_INFO now;
  if (rc == 0) rc = SessionFs::StatFd(upload_fd.get(), now);
  if (rc < 0 || now.size != file["size"].asUInt64() || now.mtime != request["mtime"]["mtime"].asUInt32()) {
    WK_LOG_INFO("UploadLocal: '%s' changed since its upload began; starting afresh\n", path.c_str_utf8());
    upload_fd.reset();
    ClearCache();
    return ERR_INT;
  }
  file["data"].asBinary().path = SessionFs::FdPath(upload_fd.get());
  return 0;
}

int Worker::ProtoResumeUploadObject(Channel& ch, PObject& request, PObject& response) {
  // The status, token and probe replies are read through const references
  // (a lookup through a mutable one turns a received binary into a map,
  // and its file is then named by nothing) and dropped with their received
  // files once read; only the last reply goes to the caller, which drops it.
  int rc;
  if (request.hasMember("_resume_token")) {
    PObject status_request;
    status_request["_action"] = "resume_get_status";
    AddSessionKeys(status_request);
    status_request["_resume_token"] = request["_resume_token"];
    PObject status;
    if ((rc = RunProtocol(ch, kResumeCommand, status_request, status)) != 0) {
      ClearPObject(status);
      return rc;
    }
    const PObject& held = status;
    if (held.hasMember("error")) {
      response = std::move(status);
      return 0;
    }
    const bool has_file = held.hasMember("file");
    const uint64_t offset = held["file"]["offset"].asUInt64();
    ClearPObject(status);
    if (has_file && request["file"]["data"].isBinary()) {
      PObject::binary_type& data = request["file"]["data"].asBinary();
      WK_LOG_DEBUG("Worker (%d): adjust upload file offset to %llu\n", GetId(),
                   static_cast<unsigned long long>(offset));
      if (offset > data.length) {
        // The server holds more than the body: nothing it holds can be
        // trusted; the next attempt starts afresh.
        WK_LOG_ERROR("Worker (%d): server holds %llu bytes of a %llu-byte upload\n", GetId(),
                     static_cast<unsigned long long>(offset), static_cast<unsigned long long>(data.length));
        ClearCache();
        return ERR_INT;
      }
      data.offset += offset;
      data.length -= offset;
    }
    rc = RunProtocol(ch, kResumeCommand, request, response);
    return rc > 0 ? 0 : rc;
  }

  PObject token_request;
  token_request["_action"] = "resume_get_token";
  AddSessionKeys(token_request);
  PObject token;
  if ((rc = RunProtocol(ch, kResumeCommand, token_request, token)) != 0) {
    ClearPObject(token);
    return rc;
  }
  const PObject& got = token;
  if (got.hasMember("error")) {
    response = std::move(token);
    return 0;
  }
  // Only a string is a token: anything else (a binary above all) would be
  // sent back to the server in every later request of this upload.
  if (!got["resume_token"].isString()) {
    WK_LOG_ERROR("Worker (%d): upload of '%s': the server's resume token is not a string; tried again later\n",
                 GetId(), context.current_event.m_path.c_str_utf8());
    ClearPObject(token);
    return ERR_PROTO;
  }
  const ustring resume_token = got["resume_token"].asStringRef();
  ClearPObject(token);
  request["_resume_token"] = resume_token;
  cached_request["_resume_token"] = resume_token;

  // The probe asks whether the server already stores this content.
  PObject probe(request);
  probe["_action"] = "upload";
  probe["dry_run"] = true;
  probe["file"].asMap().erase(ustring("data"));
  if (probe.hasMember("mac_attribute")) probe["mac_attribute"].asMap().erase(ustring("data"));
  PObject answer;
  if ((rc = RunProtocol(ch, kUploadCommand, probe, answer)) != 0) {
    ClearPObject(answer);
    return rc;
  }
  const PObject& said = answer;
  if (said.hasMember("error")) {
    WK_LOG_ERROR("Worker (%d): upload file: %s\n", GetId(), said["error"].toString().c_str_utf8());
    response = std::move(answer);
    return 0;
  }
  const uint64_t file_id = said["file"]["file_id"].asUInt64();
  ClearPObject(answer);
  if (file_id != 0) {
    WK_LOG_INFO("Server side has same file hash '%s' in file_id '%llu'.\n", request["file"]["hash"].asString().c_str_utf8(),
                static_cast<unsigned long long>(file_id));
    request["file"]["refer"] = true;
    request["file"]["file_id"] = static_cast<unsigned long long>(file_id);
    request["file"].asMap().erase(ustring("data"));
  }
  rc = RunProtocol(ch, kResumeCommand, request, response);
  return rc > 0 ? 0 : rc;
}

int Worker::CommitDatabaseUpload(const PObject& request, const PObject& response, const ClientFileEventInfo& base,
                                 const ustring& sign_file) {
  ClientFileEventInfo record = base;
  ClearCommitInfo(record);
  record.syncID = response["sync_id"].asUInt64();
  record.maxSyncID = g_server_version.load() == 2402 ? record.syncID : response["max_id"].asUInt64();
  record.fileType = response["is_dir"].asBool() ? 1 : 0;
  record.isExist = 1;
  record.path = context.current_event.m_path;
  const PObject& file = request["file"];
  if (record.fileType == 1) {
    record.fileSize = 0;
    record.fileCheckSum.clear();
  } else if (!request.hasMember("file") || (file["refer"].asBool() && file["file_id"].asUInt64() == 0)) {
    record.fileSize = base.fileSize;
    record.fileCheckSum = base.fileCheckSum;
  } else {
    record.fileSize = file["size"].asUInt64();
    record.fileCheckSum = file["hash"].asString();
  }
  const PObject& mtime = request["mtime"];
  record.fileModTime = !request.hasMember("mtime") || mtime["refer"].asBool() ? base.fileModTime : mtime["mtime"].asUInt32();
  const PObject& mac = request["mac_attribute"];
  record.macHash = !request.hasMember("mac_attribute") || mac["refer"].asBool() ? base.macHash : mac["hash"].asString();
  const PObject& exec = request["exec_bit"];
  record.execBit = !request.hasMember("exec_bit") || exec["refer"].asBool() ? base.execBit : exec["exec_bit"].asUInt32();
  record.signaturePath = sign_file.empty() ? base.signaturePath : sign_file;
  if (record.fileType == 1) record.signaturePath.clear();

  if (UpdateDatabaseInfo(record) != 0) {
    WK_LOG_ERROR("CommitDatabase: Failed to update local event database. Error code = %d\n", -1);
    return -1;
  }
  if (env.filter_db.rmLocalFilteredEventByPath(context.current_event.m_sess_id, record.path) != 0) {
    WK_LOG_ERROR("CommitDatabase: Failed to remvoe filter db record for session '%llu', path '%s' .\n",
                 static_cast<unsigned long long>(context.current_event.m_sess_id), record.path.c_str_utf8());
    return -1;
  }
  return 0;
}

int Worker::CheckLocalModification(const PObject& /*response*/, const PObject& request) {
  const ustring path = context.current_event.m_path;
  FILE_INFO local;
  int rc = fs.Stat(path, local);
  if (rc < 0) {
    WK_LOG_ERROR("Failed to get local file info at '%s'.\n", fs.FullPath(path).c_str_utf8());
    return -1;
  }
  if (!local.isExist) {
    WK_LOG_INFO("File removed during upload progress, add event remove for '%s'\n", path.c_str_utf8());
    PushRemoveEvent(path, request["is_dir"].asBool());
  }
  return 0;
}

int Worker::PushRemoveEvent(const ustring& path, bool is_dir) {
  WK_LOG_DEBUG("PushRemoveEvent: %s\n", path.c_str_utf8());
  PushLocalRemoveEvent(context.root_entry, path, is_dir, env.events);
  return 0;
}

}  // namespace tidewell
