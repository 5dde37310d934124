// The removal road in both directions and the recycle folder.
//
// A server removal never deletes: what the database knows unchanged goes
// into the recycle folder with a row that lets the recycle cleaner purge it
// later and a download take it back; what the user changed stays under a
// conflict name, and is uploaded as new. Before a folder goes, everything
// inside it that the database does not know as it is moves into a conflict
// copy (PreserveUnsyncedEntries), so only synchronised content is recycled.
// A local removal is sent only once the removal guard agrees that it is not
// the echo of a lost session folder or part of a mass deletion.

#include <cerrno>
#include <ctime>
#include <string>

#include "base/error_code.h"
#include "db/file_event_db.h"
#include "db/file_list.h"
#include "db/filter_db.h"
#include "db/string_buffer.h"
#include "events/event_generator.h"
#include "events/event_manager.h"
#include "platform/file_lock.h"
#include "platform/temp_path.h"
#include "sync/conflict_rename.h"
#include "sync/removal_guard.h"
#include "sync/sync_log.h"
#include "sync/worker.h"

namespace tidewell {

namespace {

constexpr unsigned char kRemoveCommand = 15;
// Unique names drawn before a move into the recycle or working folder gives up.
constexpr int kNameAttempts = 8;

unsigned long long U(uint64_t v) { return static_cast<unsigned long long>(v); }

std::string BaseName(std::string_view path) {
  size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace

ustring Worker::GetRecycleBinDir() const {
  return ustring(std::string(context.working_directory.utf8_view()) + "/" + kRecycleFolderName);
}

// Moves the session-relative `rel` to a fresh name inside the folder `into`
// (session-relative, created when missing); `name` gets the name. 0, or
// the SessionFs result.
int Worker::MoveAside(const ustring& rel, const ustring& into, ustring& name) {
  int rc = fs.MakeDirs(into);
  if (rc < 0) return rc;
  const ustring full_dir = fs.FullPath(into);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    ustring target;
    if (FSCreateTempPath(full_dir, target) != 0) return -EIO;
    name = ustring(BaseName(target.utf8_view()));
    rc = fs.Rename(rel, ustring(std::string(into.utf8_view()) + "/" + std::string(name.utf8_view())), false);
    if (rc != -EEXIST) return rc;
  }
  return -EEXIST;
}

// --- server removal ---------------------------------------------------------------

int Worker::RemoveLocal() {
  const Event& e = context.current_event;
  const ustring path = e.m_path;
  int rc = TestRemoveLocalFilter();
  if (rc != 1) {
    WK_LOG_WARNING("RemoveLocal: File '%s' cannot pass filter testing '%d'.\n", path.c_str_utf8(), rc);
    return rc;
  }
  if (path.utf8_view() == "/") {
    WK_LOG_ERROR("RemoveLocal: refusing to remove the session folder of session %llu\n", U(e.m_sess_id));
    return 0;
  }
  if (isFileLocked(context.full_path, kAccessWrite | kAccessDelete)) {
    WK_LOG_ERROR("Worker (%d): unable to handle locked/no permission file '%s'.\n", GetId(),
                 context.full_path.c_str_utf8());
    return ERR_LOCKED_FILE;
  }
  FILE_INFO local;
  rc = fs.Stat(path, local);
  if (rc == -ELOOP || rc == -EXDEV) {
    // What lies behind a link is not the session's: only the record goes.
    WK_LOG_WARNING("RemoveLocal: '%s' lies behind a symbolic link; left alone, its record dropped\n",
                   path.c_str_utf8());
    return RemoveDatabaseInfo() == 0 ? 0 : ERR_SYS;
  }
  if (rc < 0) {
    WK_LOG_WARNING("RemoveLocal: File '%s' cannot be removed\n", fs.FullPath(path).c_str_utf8());
    return ERR_SYS;
  }
  if (!local.isExist) {
    WK_LOG_INFO("RemoveLocal: '%s' has already been removed\n", path.c_str_utf8());
    RemoveDatabaseInfo();
    return 0;
  }
  if (local.type != FT_FILE && local.type != FT_DIR) {
    WK_LOG_INFO("RemoveLocal: '%s' is a symbolic link or special file, never synchronised; left in place\n",
                path.c_str_utf8());
    return RemoveDatabaseInfo() == 0 ? 0 : ERR_SYS;
  }
  const ClientFileEventInfo base = context.database_record;
  if (e.m_max_id < base.maxSyncID) {
    WK_LOG_WARNING(
        "RemoveLocal: Based sync id is change, can not remove local [%s]. db max_id = '%llu', event max_id = '%llu'\n",
        path.c_str_utf8(), U(base.maxSyncID), U(e.m_max_id));
    if (local.type == FT_DIR) ExpandServerDeleteEvent(path, e.m_sess_id, e.m_sync_id);
    return 0;
  }
  if (base.syncID != 0 && !LocallyModified(local, base, ustring())) {
    WK_LOG_DEBUG("Removing local '%s'\n", path.c_str_utf8());
    if (ProcessRenameRemoveLocal(local) != 0) return ERR_SYS;
    notify_event_type = NOTIFY_SERVER_REMOVE;
    return 0;
  }
  WK_LOG_INFO("RemoveLocal: Detect local modification to '%s', resolve conflict\n", path.c_str_utf8());
  ustring renamed;
  if (ConflictRename(fs, path, ClientName(), ustring("Conflict"), &renamed) != 0) return ERR_SYS;
  // The kept copy is new to the server.
  PushUploadEvent(context.root_entry, renamed, local.type == FT_DIR, env.events);
  if (local.type == FT_DIR) env.events.IssueExpand(e.m_sess_id, renamed);
  if (RemoveDatabaseInfo() != 0) {
    WK_LOG_ERROR("RemoveLocal: Failed to remove database record for '%llu:%s'\n", U(e.m_sess_id), path.c_str_utf8());
    return ERR_SYS;
  }
  notify_event_type = NOTIFY_SERVER_REMOVE;
  return 0;
}

int Worker::ProcessRenameRemoveLocal(const FILE_INFO& local) {
  const ustring path = context.current_event.m_path;
  const uint32_t now = static_cast<uint32_t>(time(nullptr));
  int rc;
  if (local.type == FT_DIR) {
    // Only what the database knows goes to the recycle folder; new and
    // changed entries move into a conflict copy that stays in the session.
    ustring copy;
    int kept = PreserveUnsyncedEntries(path, &copy);
    if (kept < 0) {
      WK_LOG_ERROR("ProcessRenameRemoveLocal: cannot keep the unsynchronised entries of '%s'; folder left in place\n",
                   path.c_str_utf8());
      return ERR_SYS;
    }
    if (kept > 0)
      WK_LOG_INFO("ProcessRenameRemoveLocal: %d entries of '%s' kept in the session as '%s'\n", kept,
                  path.c_str_utf8(), copy.c_str_utf8());
    rc = RenameRemoveDirectory();
  } else {
    rc = RenameRemoveFile();
  }
  if (rc != 0) {
    WK_LOG_ERROR("ProcessRenameRemoveLocal: Failed to remove '%s'\n", path.c_str_utf8());
    return ERR_SYS;
  }
  env.registry.InitRecycleTime(context.root_entry, now);
  return 0;
}

int Worker::ProcessRemoveLocal(const FILE_INFO& local) {
  const ustring path = context.current_event.m_path;
  if (local.type == FT_DIR) {
    if (RemoveDirectoryW(path) != 0) {
      WK_LOG_ERROR("RemoveDirectory: Failed to remove '%s'\n", path.c_str_utf8());
      return ERR_SYS;
    }
    return 0;
  }
  int rc = fs.Unlink(path);
  if (rc < 0 && rc != -ENOENT) {
    WK_LOG_ERROR("RemoveLocal: Failed to remove path '%s' (%s)\n", path.c_str_utf8(), SessionFsErrorString(rc).c_str());
    return ERR_SYS;
  }
  return 0;
}

int Worker::RenameRemoveFile() {
  const ustring path = context.current_event.m_path;
  ustring name;
  int rc = MoveAside(path, RecycleBinRel(), name);
  if (rc < 0) {
    WK_LOG_ERROR("RenameRemoveFile: failed to remove directory '%s'. (%s)\n", path.c_str_utf8(),
                 SessionFsErrorString(rc).c_str());
    return -1;
  }
  auto db = GetEventDatabase();
  if (!db) {
    WK_LOG_ERROR("RenameRemoveFile: missing databasehandle\n");
    return -1;
  }
  if (db->dumpFileToRecycleBin(ustring("/" + std::string(name.utf8_view())), path) != 0) {
    WK_LOG_ERROR("RenameRemoveFile: failed to dumpDirToRecycleBin '%s'.\n", path.c_str_utf8());
    return -1;
  }
  context.database_record.Clear();
  if (env.filter_db.rmLocalFilteredEventByPath(context.current_event.m_sess_id, path) != 0) {
    WK_LOG_ERROR("RenameRemoveFile : failed to rmLocalFilteredEventByPath for session '%llu', path '%s' .\n",
                 U(context.current_event.m_sess_id), path.c_str_utf8());
    return -1;
  }
  return 0;
}

int Worker::RenameRemoveDirectory() {
  const ustring path = context.current_event.m_path;
  ustring name;
  int rc = MoveAside(path, RecycleBinRel(), name);
  if (rc < 0) {
    WK_LOG_ERROR("RenameRemoveDirectory: failed remove directory from '%s' to '%s'. (%s)\n", path.c_str_utf8(),
                 GetRecycleBinDir().c_str_utf8(), SessionFsErrorString(rc).c_str());
    return -1;
  }
  auto db = GetEventDatabase();
  if (!db) {
    WK_LOG_ERROR("RenameRemoveDirectory: missing databasehandle\n");
    return -1;
  }
  if (db->dumpDirToRecycleBin(ustring("/" + std::string(name.utf8_view())), path) != 0) {
    WK_LOG_ERROR("RenameRemoveDirectory: failed to dumpDirToRecycleBin '%s'.\n", path.c_str_utf8());
    return -1;
  }
  context.database_record.Clear();
  if (env.filter_db.rmLocalFilteredEventByPath(context.current_event.m_sess_id, path) != 0) {
    WK_LOG_ERROR("RenameRemoveDirectory : failed to rmLocalFilteredEventByPath for session '%llu', path '%s' .\n",
                 U(context.current_event.m_sess_id), path.c_str_utf8());
    return -1;
  }
  return 0;
}

int Worker::moveFileToRecycleBin(const ustring& source, uint64_t size, const ustring& hash, const ustring& mac_hash) {
  auto db = GetEventDatabase();
  ustring name;
  int rc = -1;
  if (!db) {
    WK_LOG_ERROR("moveFileToRecycleBin: missing databasehandle\n");
  } else if ((rc = MoveAside(source, RecycleBinRel(), name)) < 0) {
    WK_LOG_ERROR("moveFileToRecycleBin: failed to move from '%s' to '%s'. (%s)\n", source.c_str_utf8(),
                 GetRecycleBinDir().c_str_utf8(), SessionFsErrorString(rc).c_str());
  } else if (db->addFileToRecycleBin(ustring("/" + std::string(name.utf8_view())), size, hash, mac_hash) != 0) {
    WK_LOG_ERROR("moveFileToRecycleBin: failed to addFileToRecycleBin '%s'.\n", name.c_str_utf8());
    // A recycled file without its row would never be purged.
    (void)fs.Unlink(ustring(std::string(RecycleBinRel().utf8_view()) + "/" + std::string(name.utf8_view())));
    return -1;
  } else {
    env.registry.InitRecycleTime(context.root_entry, static_cast<uint32_t>(time(nullptr)));
    return 0;
  }
  (void)fs.Unlink(source);
  return -1;
}

int Worker::RemoveDirectoryW(const ustring& path) {
  ustring name;
  int rc = MoveAside(path, WorkingRel(), name);
  if (rc < 0) {
    WK_LOG_ERROR("RemoveDirectory: failed to remove directory '%s'. (%s)\n", path.c_str_utf8(),
                 SessionFsErrorString(rc).c_str());
    return -1;
  }
  // Out of the watched tree already; what cannot be deleted stays in the
  // working folder, never in the session.
  rc = fs.RemoveTree(ustring(std::string(WorkingRel().utf8_view()) + "/" + std::string(name.utf8_view())));
  if (rc < 0)
    WK_LOG_WARNING("RemoveDirectory: '%s' moved aside as '%s' but not deleted whole: %s\n", path.c_str_utf8(),
                   name.c_str_utf8(), SessionFsErrorString(rc).c_str());
  return 0;
}

int Worker::RemoveDatabaseInfo() {
  auto db = GetEventDatabase();
  if (!db) {
    WK_LOG_ERROR("RemoveDatabaseInfo: missing databasehandle\n");
    return -1;
  }
  const ustring path = context.current_event.m_path;
  context.database_record.Clear();
  int rc = db->rmEventInfoV3(path);
  if (rc != 0) {
    WK_LOG_ERROR("RemoveDatabaseInfo: failed to update database, error code %d\n", rc);
    return -1;
  }
  if (env.filter_db.rmLocalFilteredEventByPath(context.current_event.m_sess_id, path) != 0) {
    WK_LOG_ERROR("RemoveDatabaseInfo : failed to rmLocalFilteredEventByPath for session '%llu', path '%s' .\n",
                 U(context.current_event.m_sess_id), path.c_str_utf8());
    return -1;
  }
  return 0;
}

// --- local removal ----------------------------------------------------------------

int Worker::RemoveRemote() {
  const Event& e = context.current_event;
  const ustring path = e.m_path;
  int rc = TestRemoveRemoteFilter();
  if (rc != 1) {
    WK_LOG_WARNING("RemoveRemote: File '%s' cannot pass filter testing '%d'.\n", path.c_str_utf8(), rc);
    return rc;
  }
  if (path.utf8_view() == "/") {
    WK_LOG_ERROR("Worker (%d): RemoveRemote: the session folder of session %llu is never removed on the server\n",
                 GetId(), U(e.m_sess_id));
    return 0;
  }
  if (isFileLocked(context.full_path, kAccessRead)) {
    WK_LOG_ERROR("Worker (%d): unable to handle locked/no permission file '%s'.\n", GetId(),
                 context.full_path.c_str_utf8());
    return ERR_LOCKED_FILE;
  }
  FILE_INFO local;
  rc = fs.Stat(path, local);
  if (rc == -ELOOP || rc == -EXDEV) {
    WK_LOG_WARNING("Worker (%d): RemoveRemote: '%s' now lies behind a symbolic link; not removed on the server\n",
                   GetId(), path.c_str_utf8());
    return 0;
  }
  if (rc < 0) {
    WK_LOG_ERROR("Worker (%d): RemoveRemote: Failed to get filesystem into for %s\n", GetId(),
                 fs.FullPath(path).c_str_utf8());
    return ERR_SYS;
  }
  const ClientFileEventInfo base = context.database_record;
  if (local.isExist) {
    WK_LOG_WARNING("Worker (%d): RemoveRemote: Path '%s' exists\n", GetId(), path.c_str_utf8());
    if (local.type == FT_DIR) {
      WK_LOG_INFO("Worker (%d) RemoveRemote: Need ExpandLocalDeleteEvent at '%s'.\n", GetId(), path.c_str_utf8());
      ExpandLocalDeleteEvent(path);
    }
    return 0;
  }
  if (base.syncID == 0) {
    WK_LOG_INFO("Worker (%d): RemoveRemote: '%llu:%s' cannot be removed (no record).\n", GetId(), U(e.m_sess_id),
                path.c_str_utf8());
    return 0;
  }

  // Weigh the removal against the session before it leaves.
  auto db = GetEventDatabase();
  uint64_t items = 1;
  uint64_t session_items = 0;
  if (!db || (base.fileType == 1 && db->countEventInfo(path, items) != 0) || db->countEventInfo(ustring("/"), session_items) != 0) {
    WK_LOG_ERROR("Worker (%d): RemoveRemote: cannot count the records of session %llu\n", GetId(), U(e.m_sess_id));
    return ERR_SYS;
  }
  switch (env.removal_guard.AdmitRemoval(context.root_entry, e, items, session_items)) {
    case RemovalGuard::kSend:
      break;
    case RemovalGuard::kHeld:
      WK_LOG_INFO("Worker (%d): RemoveRemote: removal of '%s' (%llu items) held until the user confirms\n", GetId(),
                  path.c_str_utf8(), U(items));
      return 0;
    case RemovalGuard::kRootLost:
      WK_LOG_INFO("Worker (%d): RemoveRemote: removal of '%s' kept back: the session folder is lost\n", GetId(),
                  path.c_str_utf8());
      return 0;
  }

  PObject request;
  request["_action"] = "remove";
  AddSessionKeys(request);
  AddBaseIds(request, base);
  request["path"] = RemotePath(path);
  PObject reply;
  bool handshake_failed = false;
  rc = ExchangeOnConnection([&](Channel& ch) { return ProtoRemoveObject(ch, request, reply); }, reply,
                            handshake_failed);
  // The reply is read through a const reference (a lookup through a
  // mutable one turns a received binary into a map, and its file is then
  // named by nothing); no part of it is kept, so its files go at once.
  const PObject& got = reply;
  const bool refused = got.hasMember("error");
  const uint64_t code = got["error"]["code"].asUInt64();
  ClearPObject(reply);
  if (rc != 0) {
    env.removal_guard.Withdraw(e.m_sess_id, path, items);
    if (handshake_failed)
      WK_LOG_ERROR("Worker (%d): RemoveRemote: Failed to establish communication channel. %s\n", GetId(),
                   GetErrorString(rc));
    else
      WK_LOG_INFO("Worker (%d): RemoveRemote: failed to remove object (%s). %s.\n", GetId(), path.c_str_utf8(),
                  GetErrorString(rc));
    return rc;
  }
  if (refused) {
    if (code == 0xA001) {
      WK_LOG_INFO("RemoveRemote: Fake event on '%s' ... how did you do that? remove local entry anyway.\n",
                  path.c_str_utf8());
    } else if (code == 0xA002) {
      WK_LOG_INFO("RemoveRemote: Object '%s' on the server is modified, abort anyway\n", path.c_str_utf8());
      if (base.fileType == 1) {
        env.removal_guard.Withdraw(e.m_sess_id, path, items);
        WK_LOG_INFO("RemoveRemote: rescan directory '%s'\n", path.c_str_utf8());
        env.events.IssueRescan(e.m_sess_id, path, false);
        return 0;
      }
    } else {
      env.removal_guard.Withdraw(e.m_sess_id, path, items);
      int mapped = ProtoResp2ErrorCode(code);
      WK_LOG_ERROR("RemoveRemote: Failed to remove '%s'. %s\n", path.c_str_utf8(), GetErrorString(mapped));
      return mapped;
    }
  }
  env.removal_guard.Sent(e.m_sess_id, path);
  if (RemoveDatabaseInfo() != 0) {
    WK_LOG_ERROR("RemoveRemote: Failed to update local event database. Error code = %d\n", -1);
    return ERR_SYS;
  }
  notify_event_type = NOTIFY_CLIENT_REMOVE;
  return 0;
}

// --- folder removals expanded ---------------------------------------------------------

int Worker::ExpandDeleteEvent() {
  const Event& e = context.current_event;
  if (e.m_mode & (Event::F_LOCAL_SUBDIR_RESCAN | Event::F_LOCAL_SUBDIR_RESCAN_STAT)) {
    WK_LOG_DEBUG("ExpandLocalDeleteEvent event: %s\n", e.toString().c_str_utf8());
    if (ExpandLocalDeleteEvent(e.m_path) != 0) return -1;
  }
  if (e.m_mode & (Event::F_SERVER_SUBDIR_RESCAN | Event::F_SERVER_SUBDIR_RESCAN_STAT)) {
    WK_LOG_DEBUG("ExpandServerDeleteEvent event: %s\n", e.toString().c_str_utf8());
    if (ExpandServerDeleteEvent(e.m_path, e.m_sess_id, e.m_sync_id) != 0) return -1;
  }
  return 0;
}

int Worker::ExpandLocalDeleteEvent(const ustring& path) {
  auto db = GetEventDatabase();
  StringBuffer names;
  FileList database(names);
  FileList local(names);
  if (!db || db->getFileListWithoutRecursive(&database, path) != 0 ||
      BuildLocalFileListWithoutResursive(path, local) != 0 || CompareFileList(path, local, database, false) != 0) {
    WK_LOG_NOTE("interrupted while expanding local delete event (%s)\n", path.c_str_utf8());
    return -1;
  }
  return 0;
}

int Worker::ExpandServerDeleteEvent(const ustring& path, uint64_t sess_id, uint64_t sync_id) {
  auto db = GetEventDatabase();
  StringBuffer names;
  FileList list(names);
  if (!db || db->getFileListWithoutRecursive(&list, path, sync_id) != 0) {
    WK_LOG_NOTE("interrupted while expanding server delete event (%s)\n", path.c_str_utf8());
    return -1;
  }
  const std::string prefix = path.utf8_view() == "/" ? std::string() : std::string(path.utf8_view());
  Registry::Entry entry = context.root_entry;
  entry.sess_id = sess_id;
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    if (abort_flag.load() != 0) {
      WK_LOG_NOTE("interrupted while expanding server delete event (%s)\n", path.c_str_utf8());
      return -1;
    }
    ustring child(prefix + std::string(it->path.utf8_view()));
    WK_LOG_DEBUG("ExpandServerDeleteEvent: %s.\n", child.c_str_utf8());
    PushServerRemoveEvent(entry, child, it->attrb == 1, sync_id, sync_id, env.events);
  }
  return 0;
}

}  // namespace tidewell
