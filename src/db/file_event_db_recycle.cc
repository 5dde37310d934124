// FileEventDB: the recycle-bin table and the lookups by content hash.

#include <ctime>
#include <string>

#include "base/log.h"
#include "db/db_log.h"
#include "db/file_event_db.h"

namespace tidewell {
namespace {

std::string StoredPath(const ustring& path) {
  std::string p(path.utf8_view());
  if (!p.empty() && p[0] == '/') p.erase(0, 1);
  return p;
}

unsigned long long Now() { return static_cast<unsigned long long>(std::time(nullptr)); }

}  // namespace

int FileEventDB::addFileToRecycleBin(const ustring& unique_path, uint64_t file_size,
                                     const ustring& file_hash, const ustring& mac_hash) {
  SqlText sql(
      "INSERT INTO recycle_bin_table (path, fileSize, fileCheckSum, macHash, time) VALUES ('%q', "
      "%llu, '%q', '%q', %llu);",
      unique_path.c_str_utf8(), static_cast<unsigned long long>(file_size), file_hash.c_str_utf8(),
      mac_hash.c_str_utf8(), Now());
  if (!sql) {
    EDB_LOG(ERROR, "FileEventDB: Failed to sqlite3_mprintf.\n");
    return -1;
  }
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return -1;
  return execLocked(sql.get(), "FileEventDB addFileToRecycleBin fail") == SQLITE_OK ? 0 : -1;
}

int FileEventDB::rmRecycleByPath(const ustring& path) {
  // The lookups answer "/" + the stored path; either form names the row.
  std::string bare = StoredPath(path);
  std::string rooted = "/" + bare;
  SqlText sql("DELETE FROM recycle_bin_table WHERE path = '%q' OR path = '%q';", bare.c_str(), rooted.c_str());
  if (!sql) {
    EDB_LOG(ERROR, "FilterDB: Failed to sqlite3_mprintf.\n");
    return -1;
  }
  EDB_LOG(DEBUG, "rmRecycleByPath sql : %s\n", sql.get());
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return -1;
  return execLocked(sql.get(), "FilterDB rmRecycleByPath fail") == SQLITE_OK ? 0 : -1;
}

int FileEventDB::dumpFileToRecycleBin(const ustring& unique_path, const ustring& path) {
  std::string p = StoredPath(path);
  SqlText sql(
      "BEGIN TRANSACTION;INSERT INTO recycle_bin_table (path, fileSize, fileCheckSum, macHash, "
      "time) SELECT (%Q), fileSize, fileCheckSum, macHash, strftime('%%s','now') FROM eventinfo "
      "WHERE path = %Q;DELETE FROM eventinfo WHERE path = %Q;END TRANSACTION;",
      unique_path.c_str_utf8(), p.c_str(), p.c_str());
  if (!sql) {
    EDB_LOG(ERROR, "FileEventDB: Failed to sqlite3_mprintf.\n");
    return -1;
  }
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return -1;
  if (execLocked(sql.get(), "FileEventDB dumpFileToRecycleBin fail") == SQLITE_OK) return 0;
  // A statement that fails inside the script leaves the transaction open;
  // undo its first half so that nothing is half-moved.
  if (!sqlite3_get_autocommit(m_db)) execLocked("ROLLBACK;", "sqlite3_exec");
  return -1;
}

int FileEventDB::dumpDirToRecycleBin(const ustring& unique_prefix, const ustring& path) {
  std::string p = StoredPath(path);
  std::string esc = GlobEscape(p);
  unsigned long long t = Now();
  const char* u = unique_prefix.c_str_utf8();
  SqlText sql(
      "BEGIN TRANSACTION;INSERT INTO recycle_bin_table (path, fileSize, fileCheckSum, macHash, "
      "time) VALUES (%Q, 0, '', '', %llu);INSERT INTO recycle_bin_table (path, fileSize, "
      "fileCheckSum, macHash, time) SELECT (%Q || substr(path, length(%Q)+1)), fileSize, "
      "fileCheckSum, macHash, %llu FROM eventinfo WHERE fileType = 0 AND (path GLOB '%q/*') "
      ";DELETE FROM eventinfo WHERE (path = %Q OR path GLOB '%q/*');END TRANSACTION;",
      u, t, u, p.c_str(), t, esc.c_str(), p.c_str(), esc.c_str());
  if (!sql) {
    EDB_LOG(ERROR, "FileEventDB: Failed to sqlite3_mprintf.\n");
    return -1;
  }
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return -1;
  if (execLocked(sql.get(), "FileEventDB dumpDirToRecycleBin fail") == SQLITE_OK) return 0;
  if (!sqlite3_get_autocommit(m_db)) execLocked("ROLLBACK;", "sqlite3_exec");
  return -1;
}

int FileEventDB::getOldestRecyleTime(uint32_t& oldest) {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return -1;
  Statement s;
  int rc = s.Prepare(m_db, "SELECT MIN(time) FROM recycle_bin_table;");
  if (rc == SQLITE_OK) rc = s.Step();
  if (rc != SQLITE_ROW) {
    EDB_LOG(ERROR, "rotateRecycleBin failed : %s (%d).\n", sqlite3_errmsg(m_db), rc);
    return -1;
  }
  oldest = static_cast<uint32_t>(s.ColumnInt64(0));  // NULL (empty table) reads 0
  return 0;
}

int FileEventDB::getRotateList(uint32_t criteria_time, std::set<ustring>& list) {
  SqlText sql("SELECT path FROM recycle_bin_table WHERE path NOT LIKE '/%%/%%' AND time <= %lu;",
              static_cast<unsigned long>(criteria_time));
  if (!sql) {
    EDB_LOG(ERROR, "FileEventDB: Failed to sqlite3_mprintf.\n");
    return -1;
  }
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return -1;
  Statement s;
  int rc = s.Prepare(m_db, sql.get());
  while (rc == SQLITE_OK || rc == SQLITE_ROW) {
    rc = s.Step();
    if (rc == SQLITE_ROW) list.insert(ustring(std::string(s.ColumnText(0))));
  }
  if (rc != SQLITE_DONE) {
    EDB_LOG(ERROR, "rotateRecycleBin failed : %s (%d).\n", sqlite3_errmsg(m_db), rc);
    return -1;
  }
  return 0;
}

int FileEventDB::rmRotateRecords(uint32_t criteria_time) {
  SqlText sql("DELETE FROM recycle_bin_table WHERE time <= %lu;",
              static_cast<unsigned long>(criteria_time));
  if (!sql) {
    EDB_LOG(ERROR, "FileEventDB: Failed to sqlite3_mprintf.\n");
    return -1;
  }
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return -1;
  return execLocked(sql.get(), "FileEventDB : rmRotateRecords fail") == SQLITE_OK ? 0 : -1;
}

int FileEventDB::resetRecycleBin() {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return -1;
  return execLocked("DELETE FROM recycle_bin_table;", "FileEventDB resetRecycleBin fail") == SQLITE_OK
             ? 0
             : -1;
}

int FileEventDB::hashLookupLocked(const char* sql, const ustring& file_hash, ustring& path) {
  if (m_db == nullptr) return -1;
  // Folders carry no checksum; an empty hash names no content.
  if (file_hash.empty()) return 0;
  Statement s;
  int rc = s.Prepare(m_db, sql);
  // The hash comes from the server: it is bound, never pasted into the text.
  if (rc == SQLITE_OK) rc = s.BindText(1, file_hash.utf8_view());
  if (rc == SQLITE_OK) rc = s.Step();
  if (rc == SQLITE_ROW) {
    // The event table stores paths without their leading "/", the recycle
    // table as its callers gave them; answer both as session paths.
    std::string_view stored = s.ColumnText(0);
    path = ustring((stored.empty() || stored.front() != '/' ? "/" : "") + std::string(stored));
    return 1;
  }
  if (rc == SQLITE_DONE) return 0;
  EDB_LOG(ERROR, "getFilePathByHash failed : %s (%d).\n", sqlite3_errmsg(m_db), rc);
  return -1;
}

int FileEventDB::getFilePathByHash(const ustring& file_hash, const ustring&, ustring& path) {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  return hashLookupLocked("SELECT path FROM eventinfo WHERE fileCheckSum = ? AND fileType = 0 AND isExist = 1 LIMIT 1;",
                          file_hash, path);
}

int FileEventDB::getFilePathByHashFromRecycle(const ustring& file_hash, const ustring&, ustring& path) {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  return hashLookupLocked("SELECT path FROM recycle_bin_table WHERE fileCheckSum = ?  LIMIT 1;",
                          file_hash, path);
}

}  // namespace tidewell
