#include "db/file_event_db.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "base/log.h"
#include "db/db_log.h"
#include "platform/dir_make.h"
#include "platform/file_remove.h"
#include "platform/file_rename.h"

namespace tidewell {
namespace {

// Executed as one script by initialize; creates what is missing.
const char kSchema[] =
    "PRAGMA journal_mode = WAL;PRAGMA synchronous = NORMAL;BEGIN;"
    "CREATE TABLE IF NOT EXISTS eventinfo (id integer primary key, fileType integer NOT NULL, "
    "isExist integer NOT NULL, syncID NUMERIC NOT NULL, maxSyncID NUMERIC NOT NULL, "
    "pDirID NUMERIC default NULL, fileSize NUMERIC NOT NULL, fileModTime NUMERIC NOT NULL, "
    "fileCheckSum text NOT NULL, baseName text NOT NULL, path text unique NOT NULL, "
    "filePrivilege text default NULL, updateClient text NOT NULL, signPath text default NULL, "
    "macHash text default NULL, windowsHash text default NULL, linuxHash text default NULL, "
    "veltHash text default NULL, inode INTEGER, execBit INTEGER DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS config_table (key VARCHAR PRIMARY KEY ON CONFLICT IGNORE, "
    "value VARCHAR NOT NULL);"
    "CREATE TABLE IF NOT EXISTS recycle_bin_table (id integer primary key, path text unique NOT NULL, "
    "fileSize NUMERIC NOT NULL, fileCheckSum text NOT NULL, macHash text default NULL, "
    "time NUMERIC NOT NULL);"
    "CREATE INDEX IF NOT EXISTS eventinfo_syncID_idx ON eventinfo(syncID);"
    "CREATE INDEX IF NOT EXISTS eventinfo_maxSyncID_idx ON eventinfo(maxSyncID);"
    "CREATE INDEX IF NOT EXISTS eventinfo_baseName_idx ON eventinfo(baseName);"
    "CREATE INDEX IF NOT EXISTS eventinfo_path_idx ON eventinfo(path);"
    "CREATE INDEX IF NOT EXISTS eventinfo_updateClient_idx ON eventinfo(updateClient);"
    "CREATE INDEX IF NOT EXISTS eventinfo_fileCheckSum_idx ON eventinfo(fileCheckSum);"
    "CREATE INDEX IF NOT EXISTS eventinfo_macHash_idx ON eventinfo(macHash);"
    "CREATE INDEX IF NOT EXISTS eventinfo_isExist_idx ON eventinfo(isExist);"
    "CREATE INDEX IF NOT EXISTS recycle_bin_table_fileCheckSum_idx ON recycle_bin_table(fileCheckSum);"
    "CREATE INDEX IF NOT EXISTS recycle_bin_table_macHash_idx ON recycle_bin_table(macHash);"
    "CREATE INDEX IF NOT EXISTS recycle_bin_table_time_idx ON recycle_bin_table(time);"
    "INSERT or IGNORE into config_table VALUES ('sync_id', '0'); "
    "INSERT or IGNORE into config_table VALUES ('version', 7);"
    "CREATE TRIGGER IF NOT EXISTS eventinfo_delete_trigger AFTER DELETE ON eventinfo BEGIN "
    "\tUPDATE config_table SET value = '' WHERE rowid = remove_signature(OLD.id); END;"
    "COMMIT;";

const char kContainsSql[] = "SELECT id, syncID FROM eventinfo WHERE path = ?;";
const char kSelectSql[] = "select * from eventinfo where path=?";
const char kUpdateSql[] =
    "UPDATE eventinfo SET fileType = ?1, syncID = ?2, maxSyncID = ?3, fileSize = ?4, "
    "fileModTime = ?5, fileCheckSum = ?6, path = ?7, macHash = ?8, execBit = ?9 "
    "WHERE path = ?7 AND syncID <= ?2;";
const char kInsertSql[] =
    "insert into eventinfo  (id, fileType, isExist, syncID, maxSyncID, pDirID, fileSize, "
    "fileModTime, fileCheckSum, baseName, path, filePrivilege, updateClient, signPath, macHash, "
    "windowsHash, linuxHash, veltHash, execBit) values(NULL, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
    "'', ?, ?, ?, ?, ?);";
const char kParentUpdateSql[] =
    "UPDATE eventinfo SET maxSyncID = ?1 WHERE path = ?2 AND maxSyncID < ?1;";
const char kParentInsertSql[] =
    "INSERT INTO eventinfo (fileType, isExist, syncID, maxSyncID, pDirID, fileSize, fileModTime, "
    "fileCheckSum, baseName, path, filePrivilege, updateClient, signPath, macHash, windowsHash, "
    "linuxHash, veltHash, inode, execBit) VALUES (1, 1, ?1, ?1, 0, 0, ?2, '', '', ?3, '', '', '', "
    "'', '', '', '', 0, 1);";

// The stored form of a path: without its leading "/".
std::string StoredPath(const ustring& path) {
  std::string_view p(path.c_str_utf8(), path.length());
  if (!p.empty() && p[0] == '/') p.remove_prefix(1);
  return std::string(p);
}

// The SQL function remove_signature(id): deletes the signature file of row
// `id` (failures ignored) and yields 0, so the trigger's UPDATE never matches.
void RemoveSignature(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  if (argc == 1) {
    uint64_t id = static_cast<uint64_t>(sqlite3_value_int64(argv[0]));
    if (id != 0) {
      const ustring* sign_path = static_cast<const ustring*>(sqlite3_user_data(ctx));
      ustring file = *sign_path + "/" + FileEventDB::SignatureName(id).c_str();
      (void)FSRemove(file, false);
    }
  }
  sqlite3_result_int(ctx, 0);
}

}  // namespace

FileEventDB::~FileEventDB() { destroy(); }

std::string FileEventDB::SignatureName(uint64_t id) {
  static const char kHex[] = "0123456789abcdef";
  int top = 7;
  while (top > 0 && ((id >> (top * 8)) & 0xff) == 0) --top;
  std::string name;
  for (int i = top; i >= 0; --i) {
    unsigned byte = (id >> (i * 8)) & 0xff;
    if (i == 0) name += '.';
    name += kHex[byte >> 4];
    name += kHex[byte & 15];
    if (i > 0) name += '/';
  }
  return name;
}

ustring FileEventDB::SignaturePath(uint64_t id) {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  return SignaturePathLocked(id);
}

ustring FileEventDB::SignaturePathLocked(uint64_t id) const {
  return m_signPath + "/" + SignatureName(id).c_str();
}

int FileEventDB::initialize(const ustring& location) {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db != nullptr) {
    EDB_LOG(INFO, "FileEventDB has been initialized (no-op)\n");
    return 0;
  }
  sqlite3* db = nullptr;
  int rc = sqlite3_open(location.c_str_utf8(), &db);
  if (rc != SQLITE_OK) {
    EDB_LOG(ERROR, "FileEventDB: Failed to open database at '%s'. [%d] %s\n", location.c_str_utf8(),
            rc, db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    return -1;
  }
  // The SQL function keeps a pointer to m_signPath: set it first.
  std::string_view loc(location.c_str_utf8(), location.length());
  size_t slash = loc.rfind('/');
  ustring sign_path = ustring(std::string(slash == std::string_view::npos ? "." : loc.substr(0, slash))) + "/sign";
  m_signPath = sign_path;

  bool ok = false;
  char* err = nullptr;
  rc = sqlite3_exec(db, kSchema, nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    EDB_LOG(ERROR, "FileEventDB: Failed to initialize database at '%s'. [%d] %s\n",
            location.c_str_utf8(), rc, err != nullptr ? err : "");
  } else if ((rc = sqlite3_create_function(db, "remove_signature", 1, SQLITE_UTF8, &m_signPath,
                                           RemoveSignature, nullptr, nullptr)) != SQLITE_OK) {
    EDB_LOG(ERROR, "FileEventDB: Failed to create function. %s (%d)\n", sqlite3_errmsg(db), rc);
  } else if ((rc = sqlite3_exec(db, "PRAGMA recursive_triggers = true;", nullptr, nullptr, &err)) !=
             SQLITE_OK) {
    EDB_LOG(ERROR, "FileEventDB: Failed to enable recursive triggers. %s (%d)\n",
            err != nullptr ? err : "", rc);
  } else {
    // Each checkpoint flushes the file to disk; with the default of 1000
    // pages that flush, not the statements, bounds how fast workers can
    // record rows. The log is reset after each checkpoint and kept at most
    // this size on disk.
    (void)sqlite3_exec(db, "PRAGMA wal_autocheckpoint = 16384; PRAGMA journal_size_limit = 67108864;",
                       nullptr, nullptr, nullptr);
    ok = true;
  }
  sqlite3_free(err);
  if (!ok) {
    sqlite3_close(db);
    m_signPath.clear();
    return -1;
  }
  m_db = db;
  m_eventDBPath = location;
  EDB_LOG(INFO, "FileEventDB has been initialized with location '%s'\n", location.c_str_utf8());
  EDB_LOG(INFO, "FileEventDB::m_signPath has been initialized with location '%s'\n",
          m_signPath.c_str_utf8());
  return 0;
}

void FileEventDB::finalizeStatementsLocked() {
  m_containsStmt.Finalize();
  m_selectStmt.Finalize();
  m_updateStmt.Finalize();
  m_insertStmt.Finalize();
  m_parentUpdateStmt.Finalize();
  m_parentInsertStmt.Finalize();
}

void FileEventDB::destroy() {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  m_eventDBPath.clear();
  if (m_db == nullptr) {
    m_signPath.clear();
    EDB_LOG(INFO, "FileEventDB has been deinitialzed (no-op)\n");
    return;
  }
  finalizeStatementsLocked();
  sqlite3_close(m_db);
  m_db = nullptr;
  m_signPath.clear();
  EDB_LOG(INFO, "FileEventDB has been deinitialzed\n");
}

int FileEventDB::execLocked(const char* sql, const char* what) {
  char* err = nullptr;
  int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    EDB_LOG(ERROR, "%s: %s (%d).\n", what, err != nullptr ? err : sqlite3_errstr(rc), rc);
  }
  sqlite3_free(err);
  return rc;
}

int FileEventDB::containsLocked(const std::string& path, EventInfo& info) {
  if (m_db == nullptr) return -1;
  if (!m_containsStmt && m_containsStmt.Prepare(m_db, kContainsSql, true) != SQLITE_OK) {
    EDB_LOG(ERROR, "sqlite3_prepare_v2: [%d] %s\n", sqlite3_errcode(m_db), sqlite3_errmsg(m_db));
    return -1;
  }
  Statement& s = m_containsStmt;
  s.Reset();
  if (s.BindText(1, path) != SQLITE_OK) {
    EDB_LOG(ERROR, "sqlite3_bind_text: [%d] %s\n", sqlite3_errcode(m_db), sqlite3_errmsg(m_db));
    return -1;
  }
  int rc = s.Step();
  int result = -1;
  if (rc == SQLITE_ROW) {
    info.row_id = s.ColumnUint64(0);
    info.sync_id = s.ColumnUint64(1);
    result = 1;
  } else if (rc == SQLITE_DONE) {
    result = 0;
  } else {
    EDB_LOG(ERROR, "sqlite3_step: [%d] %s\n", rc, sqlite3_errmsg(m_db));
  }
  s.Reset();
  return result;
}

int FileEventDB::contains(const ustring& path, EventInfo& info) {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  return containsLocked(StoredPath(path), info);
}

int FileEventDB::getEventInfo(const ustring& path, ClientFileEventInfo& info) {
  info.path.clear();
  if (path.empty()) {
    EDB_LOG(ERROR, "The strpath is empty.\n");
    return -1;
  }
  std::string p = StoredPath(path);
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return -1;
  int rc = SQLITE_OK;
  if (!m_selectStmt && (rc = m_selectStmt.Prepare(m_db, kSelectSql, true)) != SQLITE_OK) {
    EDB_LOG(ERROR, "sqlite3_prepare_v2 error. event-path: [%s], errmsg: [%s]\n", p.c_str(),
            sqlite3_errmsg(m_db));
    return -1;
  }
  Statement& s = m_selectStmt;
  s.Reset();
  if (s.BindText(1, p) != SQLITE_OK) return -1;
  rc = s.Step();
  if (rc == SQLITE_DONE) {
    s.Reset();
    EDB_LOG(INFO, "No record for event-path: [%s]\n", p.c_str());
    return 0;
  }
  if (rc != SQLITE_ROW) {
    EDB_LOG(ERROR, "sqlite3_step error. event-path: [%s], errmsg: [%s]\n", p.c_str(),
            sqlite3_errmsg(m_db));
    s.Reset();
    // Not the SQLite code: SQLITE_ERROR is 1, which callers read as "found".
    return -1;
  }
  auto text = [&](int col) { return ustring(std::string(s.ColumnText(col))); };
  uint64_t id = s.ColumnUint64(EVINFO_ID);
  info.fileType = static_cast<int>(s.ColumnInt64(EVINFO_FILETYPE));
  info.isExist = static_cast<int>(s.ColumnInt64(EVINFO_ISEXIST));
  info.syncID = s.ColumnUint64(EVINFO_SYNCID);
  info.maxSyncID = s.ColumnUint64(EVINFO_MAX_SYNCID);
  info.pDirID = s.ColumnUint64(EVINFO_PDIRID);
  info.fileSize = s.ColumnUint64(EVINFO_FILESIZE);
  info.fileModTime = static_cast<uint32_t>(s.ColumnInt64(EVINFO_FILEMODTIME));
  info.fileCheckSum = text(EVINFO_FILECHECKSUM);
  info.baseName = text(EVINFO_BASENAME);
  info.path = ustring("/") + text(EVINFO_PATH);
  info.filePrivilege = text(EVINFO_FILEPRIVILEGE);
  info.updateClient = text(EVINFO_UPDATECLIEN);
  info.macHash = text(EVINFO_MACHASH);
  info.windowsHash = text(EVINFO_WINDOWSHASH);
  info.linuxHash = text(EVINFO_LINUXHASH);
  info.veltHash = text(EVINFO_VELTHASH);
  info.execBit = static_cast<uint32_t>(s.ColumnInt64(EVINFO_EXECBIT));
  s.Reset();
  if (info.fileType == 1) {
    info.signaturePath.clear();
  } else {
    info.signaturePath = SignaturePathLocked(id);
  }
  EDB_LOG(DEBUG, "file type = [%d], signaturePath = [%s]\n", info.fileType,
          info.signaturePath.c_str_utf8());
  return 1;
}

int FileEventDB::setEventInfo(const ClientFileEventInfo& info) {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return -1;
  if (execLocked("BEGIN IMMEDIATE;", "sqlite3_exec") != SQLITE_OK) return -1;
  int rc = setEventInfoLocked(info);
  if (rc == 0 && execLocked("COMMIT;", "sqlite3_exec") == SQLITE_OK) return 0;
  execLocked("ROLLBACK;", "sqlite3_exec");
  return -1;
}

int FileEventDB::setEventInfoLocked(const ClientFileEventInfo& info) {
  std::string p = StoredPath(info.path);
  if (p.empty()) {
    EDB_LOG(ERROR, "set event info ('%s') failed. Error code: %d.\n", info.path.c_str_utf8(), -1);
    return -1;
  }
  EventInfo existing;
  int found = containsLocked(p, existing);
  if (found < 0) {
    EDB_LOG(ERROR, "error occurs while getting info of '%s'\n", p.c_str());
    return -1;
  }
  uint64_t row_id = 0;
  bool row_changed = true;
  if (found == 1) {
    if (!m_updateStmt && m_updateStmt.Prepare(m_db, kUpdateSql, true) != SQLITE_OK) {
      EDB_LOG(ERROR, "sqlite3_prepare_v2: [%d] %s\n", sqlite3_errcode(m_db), sqlite3_errmsg(m_db));
      return -1;
    }
    Statement& s = m_updateStmt;
    s.Reset();
    s.BindInt64(1, info.fileType);
    s.BindUint64(2, info.syncID);
    s.BindUint64(3, info.maxSyncID);
    s.BindUint64(4, info.fileSize);
    s.BindInt64(5, info.fileModTime);
    s.BindText(6, info.fileCheckSum.utf8_view());
    s.BindText(7, p);
    s.BindText(8, info.macHash.utf8_view());
    s.BindInt64(9, info.execBit);
    int rc = s.Step();
    s.Reset();
    if (rc != SQLITE_DONE) {
      EDB_LOG(ERROR, "set event info ('%s') failed. Error code: %d.\n", p.c_str(), rc);
      return -1;
    }
    // A stored row of a later sync id stays as it is.
    row_changed = sqlite3_changes(m_db) > 0;
    row_id = existing.row_id;
  } else {
    if (!m_insertStmt && m_insertStmt.Prepare(m_db, kInsertSql, true) != SQLITE_OK) {
      EDB_LOG(ERROR, "sqlite3_prepare_v2: [%d] %s\n", sqlite3_errcode(m_db), sqlite3_errmsg(m_db));
      return -1;
    }
    Statement& s = m_insertStmt;
    s.Reset();
    s.BindInt64(1, info.fileType);
    s.BindInt64(2, info.isExist);
    s.BindUint64(3, info.syncID);
    s.BindUint64(4, info.maxSyncID);
    s.BindUint64(5, info.pDirID);
    s.BindUint64(6, info.fileSize);
    s.BindInt64(7, info.fileModTime);
    s.BindText(8, info.fileCheckSum.utf8_view());
    s.BindText(9, info.baseName.utf8_view());
    s.BindText(10, p);
    s.BindText(11, info.filePrivilege.utf8_view());
    s.BindText(12, info.updateClient.utf8_view());
    s.BindText(13, info.macHash.utf8_view());
    s.BindText(14, info.windowsHash.utf8_view());
    s.BindText(15, info.linuxHash.utf8_view());
    s.BindText(16, info.veltHash.utf8_view());
    s.BindInt64(17, info.execBit);
    int rc = s.Step();
    s.Reset();
    if (rc != SQLITE_DONE) {
      EDB_LOG(ERROR, "set event info ('%s') failed. Error code: %d.\n", p.c_str(), rc);
      return -1;
    }
    row_id = static_cast<uint64_t>(sqlite3_last_insert_rowid(m_db));
  }
  if (updateAncestorsLocked(p, info.syncID, info.fileModTime) != 0) return -1;
  if (info.fileType == 1) return 0;
  return moveSignatureLocked(info, row_id, row_changed);
}

int FileEventDB::updateAncestorsLocked(const std::string& path, uint64_t sync_id, uint32_t mtime) {
  if ((!m_parentUpdateStmt && m_parentUpdateStmt.Prepare(m_db, kParentUpdateSql, true) != SQLITE_OK) ||
      (!m_parentInsertStmt && m_parentInsertStmt.Prepare(m_db, kParentInsertSql, true) != SQLITE_OK)) {
    EDB_LOG(ERROR, "sqlite3_prepare_v2: [%d] %s\n", sqlite3_errcode(m_db), sqlite3_errmsg(m_db));
    return -1;
  }
  // From the nearest parent up to the top-level component.
  for (size_t end = path.rfind('/'); end != std::string::npos && end > 0;
       end = path.rfind('/', end - 1)) {
    std::string parent = path.substr(0, end);
    EDB_LOG(DEBUG, "updating '%s' max sync_id to (%" PRIu64 ")\n", parent.c_str(), sync_id);
    EventInfo existing;
    int found = containsLocked(parent, existing);
    if (found < 0) {
      EDB_LOG(ERROR, "update parent info ('%s') failed. Error code: %d.\n", parent.c_str(), -1);
      return -1;
    }
    Statement& s = found == 1 ? m_parentUpdateStmt : m_parentInsertStmt;
    s.Reset();
    s.BindUint64(1, sync_id);
    if (found == 1) {
      s.BindText(2, parent);
    } else {
      s.BindInt64(2, mtime);
      s.BindText(3, parent);
    }
    int rc = s.Step();
    s.Reset();
    if (rc != SQLITE_DONE) {
      EDB_LOG(ERROR, "update parent info ('%s') failed. Error code: %d.\n", parent.c_str(), rc);
      return -1;
    }
  }
  return 0;
}

int FileEventDB::moveSignatureLocked(const ClientFileEventInfo& info, uint64_t row_id,
                                     bool row_changed) {
  if (info.signaturePath.empty()) return 0;
  ustring target = SignaturePathLocked(row_id);
  if (info.signaturePath == target) return 0;
  if (!row_changed) {
    // The stored row is newer than the caller's record: its signature is
    // the right one. The handed-over file is not needed.
    (void)FSRemove(info.signaturePath, false);
    return 0;
  }
  std::string_view t = target.utf8_view();
  ustring dir(std::string(t.substr(0, t.rfind('/'))));
  if (FSMKDirP(dir) != 0) {
    EDB_LOG(ERROR, "Failed to Create folder at [%s].\n", dir.c_str_utf8());
    return -1;
  }
  if (FSRename(info.signaturePath, target, false) != 0) {
    EDB_LOG(ERROR, "Failed to rename from [%s] to [%s]\n.", info.signaturePath.c_str_utf8(),
            target.c_str_utf8());
    return -1;
  }
  return 0;
}

int FileEventDB::rmEventInfo(const ustring& path) {
  if (path.empty()) {
    EDB_LOG(ERROR, "The input strPath for rmEventInfo is empty.\n");
    return -1;
  }
  std::string p = StoredPath(path);
  // The name is escaped for GLOB, so that "*", "?" or "[" in it match only
  // themselves and never a sibling's rows.
  SqlText sql("delete from eventinfo where (path = %Q OR path GLOB '%q/*')", p.c_str(),
              GlobEscape(p).c_str());
  if (!sql) {
    EDB_LOG(ERROR, "sqlite3_mprintf error. path:[%s]\n", p.c_str());
    return -1;
  }
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return -1;
  return execLocked(sql.get(), "sqlite3_exec");
}

int FileEventDB::rmEventInfoV3(const ustring& path) {
  std::string p = StoredPath(path);
  if (p.find('/') == std::string::npos) return rmEventInfo(path) == SQLITE_OK ? 0 : -1;
  SqlText sql("DELETE FROM eventinfo WHERE (path = %Q OR path GLOB '%q/*');", p.c_str(),
              GlobEscape(p).c_str());
  if (!sql) {
    EDB_LOG(ERROR, "sqlite3_mprintf error. path:[%s]\n", p.c_str());
    return -1;
  }
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return -1;
  return execLocked(sql.get(), "sqlite3_exec") == SQLITE_OK ? 0 : -1;
}

int FileEventDB::getSyncId(uint64_t& sync_id) {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return -1;
  Statement s;
  if (s.Prepare(m_db, "SELECT value FROM config_table WHERE key = 'sync_id';") != SQLITE_OK) {
    EDB_LOG(ERROR, "sqlite3_prepare_v2: [%d] %s\n", sqlite3_errcode(m_db), sqlite3_errmsg(m_db));
    return -1;
  }
  int rc = s.Step();
  if (rc != SQLITE_ROW) {
    EDB_LOG(ERROR, "sqlite3_step: %s (%d)\n", sqlite3_errmsg(m_db), rc);
    return -1;
  }
  std::string value(s.ColumnText(0));
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || errno != 0) {
    EDB_LOG(ERROR, "sqlite3_step: %s (%d)\n", "sync_id is not a number", rc);
    return -1;
  }
  sync_id = v;
  return 0;
}

int FileEventDB::setSyncId(uint64_t sync_id) {
  char sql[1024];
  std::snprintf(sql, sizeof sql, "UPDATE config_table SET value = '%" PRIu64 "' WHERE key = 'sync_id';",
                sync_id);
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return -1;
  return execLocked(sql, "sqlite3_exec") == SQLITE_OK ? 0 : -1;
}

int FileEventDB::rmAllFolders() {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return -1;
  return execLocked("DELETE FROM eventinfo WHERE fileType = 1 OR path like '%/%';", "sqlite3_exec") ==
                 SQLITE_OK
             ? 0
             : -1;
}

int FileEventDB::getPathByInode(uint64_t, ustring&) { return -1; }
int FileEventDB::setPathInode(const ustring&, uint64_t) { return -1; }

}  // namespace tidewell
