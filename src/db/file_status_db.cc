#include "db/file_status_db.h"

#include <sqlite3.h>

#include <mutex>
#include <string>

#include "base/log.h"
#include "db/db_log.h"
#include "db/sql_template.h"
#include "db/sqlite_util.h"

namespace tidewell {
namespace {

// The one connection of the process, opened by initialize and closed by
// destroy. Marking an item as syncing runs under the event manager's lock,
// so it must cost one prepared statement, not an open and a close.
class Database {
 public:
  // Opens `path` (closing what was open). 0 or -1.
  int OpenLocked(const ustring& path) {
    CloseLocked();
    int rc = sqlite3_open(path.c_str_utf8(), &db_);
    ++opened_;
    if (rc != SQLITE_OK) {
      FS_LOG(ERROR, "open db failed. db-path:[%s] errCode:[%d] errmsg:[%s]\n", path.c_str_utf8(), rc,
             db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
      CloseLocked();
      return -1;
    }
    sqlite3_busy_timeout(db_, 300000);
    // LIKE compares letter case here: paths on this system are
    // case-sensitive, so /a must not find the row of /A.
    if (ExecLocked("PRAGMA journal_mode = WAL; PRAGMA synchronous = OFF; PRAGMA case_sensitive_like = ON;") != 0 ||
        ExecLocked("CREATE TABLE IF NOT EXISTS fstatinfo (id INTEGER PRIMARY KEY AUTOINCREMENT, path text unique "
                   "NOT NULL, fileType integer NOT NULL, syncStatus integer NOT NULL);"
                   "CREATE INDEX IF NOT EXISTS fstatinfo_path_idx on fstatinfo(path);") != 0) {
      CloseLocked();
      return -1;
    }
    return 0;
  }

  void CloseLocked() {
    mark_.Finalize();
    forget_.Finalize();
    sqlite3_close(db_);
    db_ = nullptr;
  }

  int ExecLocked(const char* sql) {
    if (db_ == nullptr) {
      FS_LOG(ERROR, "fstat-db is not initialized.\n");
      return -1;
    }
    char* err = nullptr;
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
      FS_LOG(ERROR, "sqlite3_exec error. cmd:(%s)  error:(%s)\n", sql, err != nullptr ? err : "");
    }
    sqlite3_free(err);
    return rc == SQLITE_OK ? 0 : -1;
  }

  // Runs the reused statement `stmt` (prepared from `sql` on first use)
  // with `path` bound first and `a`, `b` (when >= 0) after it. 0 or -1.
  int RunLocked(Statement& stmt, const char* sql, const ustring& path, int a = -1, int b = -1) {
    if (db_ == nullptr) {
      FS_LOG(ERROR, "fstat-db is not initialized.\n");
      return -1;
    }
    int rc = stmt ? SQLITE_OK : stmt.Prepare(db_, sql, true);
    if (rc == SQLITE_OK) rc = stmt.BindText(1, path.utf8_view());
    if (rc == SQLITE_OK && a >= 0) rc = stmt.BindInt64(2, a);
    if (rc == SQLITE_OK && b >= 0) rc = stmt.BindInt64(3, b);
    if (rc == SQLITE_OK) rc = stmt.Step();
    if (stmt) stmt.Reset();
    if (rc != SQLITE_DONE) {
      FS_LOG(ERROR, "sqlite3_step error. cmd:(%s)  error:(%s)\n", sql, sqlite3_errmsg(db_));
      return -1;
    }
    return 0;
  }

  sqlite3* db() const { return db_; }
  Statement& mark() { return mark_; }
  Statement& forget() { return forget_; }
  uint64_t opened() const { return opened_; }

 private:
  sqlite3* db_ = nullptr;
  Statement mark_;
  Statement forget_;
  uint64_t opened_ = 0;
};

std::mutex g_mutex;
Database g_database;  // guarded by g_mutex

int ExecStatement(const char* sql) {
  if (sql == nullptr) {
    FS_LOG(ERROR, "sqlite3_mprintf error.\n");
    return -1;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_database.ExecLocked(sql);
}

// Runs a query; `row` is called for each result row. 0, or -1.
template <typename RowFn>
int Query(const std::string& sql, RowFn row) {
  std::lock_guard<std::mutex> lock(g_mutex);
  sqlite3* db = g_database.db();
  if (db == nullptr) {
    FS_LOG(ERROR, "fstat-db is not initialized.\n");
    return -1;
  }
  Statement s;
  int rc = s.Prepare(db, sql.c_str());
  while (rc == SQLITE_OK || rc == SQLITE_ROW) {
    rc = s.Step();
    if (rc == SQLITE_ROW) row(s);
  }
  if (rc != SQLITE_DONE) {
    FS_LOG(ERROR, "get_table error. sql:[%s] errCode:[%d] errmsg:[%s]\n", sql.c_str(), rc, sqlite3_errmsg(db));
    return -1;
  }
  return 0;
}

FileStatusInfo RowInfo(const Statement& s) {
  FileStatusInfo info;
  info.path = ustring(std::string(s.ColumnText(FSTAT_DB_PATH)));
  info.fileType = static_cast<int>(s.ColumnInt64(FSTAT_DB_FILETYPE));
  info.syncStatus = static_cast<int>(s.ColumnInt64(FSTAT_DB_SYNCSTATUS));
  return info;
}

}  // namespace

FileStatusDB::FileStatusDB(const ustring& location) { (void)initialize(location); }

int FileStatusDB::initialize(const ustring& location) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (location.empty()) {
    FS_LOG(ERROR, "fstat-db path is empty.\n");
    g_database.CloseLocked();
    return -1;
  }
  return g_database.OpenLocked(location);
}

void FileStatusDB::destroy() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_database.CloseLocked();
}

uint64_t FileStatusDB::ConnectionsOpened() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_database.opened();
}

int FileStatusDB::setFileSyncStat(const FileStatusInfo& info) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_database.RunLocked(g_database.mark(),
                              "insert or replace into fstatinfo (id, path, fileType, syncStatus) values (NULL, ?1, ?2, ?3);",
                              info.path, info.fileType, info.syncStatus);
}

int FileStatusDB::rmFileStatByPath(const ustring& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_database.RunLocked(g_database.forget(), "delete from fstatinfo where path = ?1;", path);
}

int FileStatusDB::rmFileSyncStat(const FileStatusInfo& info) {
  // GLOB-escaped: "*", "?" or "[" in a name must not reach its siblings.
  std::string esc = GlobEscape(info.path.utf8_view());
  SqlText sql("delete from fstatinfo where (path = %Q OR path GLOB '%q/*' OR path GLOB '%q\\*');",
              info.path.c_str_utf8(), esc.c_str(), esc.c_str());
  return ExecStatement(sql.get());
}

int FileStatusDB::removeAllEntry() { return ExecStatement("DELETE FROM fstatinfo;ANALYZE;VACUUM;"); }

int FileStatusDB::updateAllSyncingEntry() {
  return ExecStatement("UPDATE fstatinfo SET syncStatus = 1 WHERE syncStatus = 2");
}

int FileStatusDB::getFileSyncStat(const ustring& path, FileStatusInfo* info) {
  if (path.empty()) {
    FS_LOG(ERROR, "filepath is empty.\n");
    return -1;
  }
  if (info == nullptr) {
    FS_LOG(ERROR, "FileStatusInfo  is NULL.\n");
    return -1;
  }
  std::string sql;
  if (VELTDBEscapeStringEX3(&sql, "select * from fstatinfo where path like '@VELT:LVAR'",
                            path.c_str_utf8()) != 0) {
    FS_LOG(ERROR, "sqlite3_mprintf error. path:[%s]\n", path.c_str_utf8());
    return -1;
  }
  bool found = false;
  FileStatusInfo row_info;
  int rc = Query(sql, [&](const Statement& s) {
    if (!found) row_info = RowInfo(s);
    found = true;
  });
  if (rc != 0) {
    FS_LOG(ERROR, "get fstat info failed. file-path:[%s] errCode:[%d] errmsg:[%s]\n",
           path.c_str_utf8(), rc, "query failed");
    return -1;
  }
  *info = found ? row_info : FileStatusInfo();
  return found ? 1 : 0;
}

std::vector<FileStatusInfo> FileStatusDB::getFileSyncStats(const ustring& dir, int start, int limit,
                                                           int& size) {
  size = 0;
  std::vector<FileStatusInfo> rows;
  if (dir.empty()) {
    FS_LOG(ERROR, "dirpath is empty.\n");
    return rows;
  }
  std::string sql;
  if (VELTDBEscapeStringEX3(&sql,
                            "select * from fstatinfo where path like '@VELT:LVAR/%%' and path not "
                            "like '@VELT:LVAR/%%/%%' limit @VELT:INT, @VELT:INT ",
                            dir.c_str_utf8(), dir.c_str_utf8(), start, limit) != 0) {
    FS_LOG(ERROR, "sqlite3_mprintf error. path:[%s]\n", dir.c_str_utf8());
    return rows;
  }
  if (Query(sql, [&](const Statement& s) { rows.push_back(RowInfo(s)); }) != 0) {
    rows.clear();
  }
  size = static_cast<int>(rows.size());
  return rows;
}

bool FileStatusDB::isAnySubFileDirSyncing(const ustring& dir) {
  if (dir.empty()) {
    FS_LOG(ERROR, "prefix dirpath is empty.\n");
    return false;
  }
  // Children are found under either separator.
  std::string sql;
  if (VELTDBEscapeStringEX3(&sql,
                            "select * from fstatinfo where (path like '@VELT:LVAR%' or path like "
                            "'@VELT:LVAR%') and syncStatus=@VELT:INT limit 2",
                            (std::string(dir.utf8_view()) + "\\").c_str(),
                            (std::string(dir.utf8_view()) + "/").c_str(), FSTAT_SYNCING) != 0) {
    FS_LOG(ERROR, "sqlite3_mprintf error. path:[%s]\n", dir.c_str_utf8());
    return false;
  }
  int rows = 0;
  if (Query(sql, [&](const Statement&) { ++rows; }) != 0) return false;
  return rows > 0;
}

bool FileStatusDB::isAnyFileSyncing() {
  SqlText sql("select * from fstatinfo where syncStatus=%d limit 2", FSTAT_SYNCING);
  if (!sql) {
    FS_LOG(ERROR, "sqlite3_mprintf error.\n");
    return false;
  }
  int rows = 0;
  if (Query(sql.get(), [&](const Statement&) { ++rows; }) != 0) return false;
  return rows > 0;
}

}  // namespace tidewell
