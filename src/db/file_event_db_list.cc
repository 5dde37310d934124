// FileEventDB: listing rows into FileList trees.

#include <string>

#include "base/log.h"
#include "db/db_log.h"
#include "db/file_event_db.h"

namespace tidewell {
namespace {

const char kListColumns[] = "SELECT fileType, fileModTime, fileSize, path FROM eventinfo";

// The prefix as stored: without its leading and trailing "/".
std::string StoredPrefix(const ustring& prefix) {
  std::string p(prefix.utf8_view());
  if (!p.empty() && p[0] == '/') p.erase(0, 1);
  while (!p.empty() && p.back() == '/') p.pop_back();
  return p;
}

}  // namespace

int FileEventDB::fillListLocked(FileList* list, const char* sql, size_t cut, bool flat) {
  if (m_db == nullptr) return -1;
  Statement s;
  int rc = s.Prepare(m_db, sql);
  if (rc != SQLITE_OK) {
    EDB_LOG(ERROR, "sqlite3_prepare_v2: [%d] %s\n", rc, sqlite3_errmsg(m_db));
    return -1;
  }
  std::string name;
  while ((rc = s.Step()) == SQLITE_ROW) {
    std::string_view path = s.ColumnText(3);
    if (path.size() <= cut) continue;
    name.assign(path.substr(cut));
    int type = static_cast<int>(s.ColumnInt64(0));
    uint32_t mtime = static_cast<uint32_t>(s.ColumnInt64(1));
    int added;
    if (type == 1) {
      added = flat ? list->AddDirectory(FileList::kRoot, name.c_str(), mtime)
                   : list->AddDirectory(name.c_str(), mtime);
    } else {
      uint64_t size = s.ColumnUint64(2);
      added = flat ? list->AddFile(FileList::kRoot, name.c_str(), mtime, size)
                   : list->AddFile(name.c_str(), mtime, size);
    }
    if (added < 0) {
      // Only a database holding a file with rows below it gets here.
      EDB_LOG(WARNING, "cannot add '%s' to the file list\n", name.c_str());
    }
  }
  if (rc != SQLITE_DONE) {
    EDB_LOG(ERROR, "sqlite3_step: [%d] %s\n", rc, sqlite3_errmsg(m_db));
    return -1;
  }
  return 0;
}

int FileEventDB::getFileList(FileList* list, const ustring& prefix) {
  std::string p = StoredPrefix(prefix);
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (p.empty()) {
    return fillListLocked(list, "SELECT fileType, fileModTime, fileSize, path FROM eventinfo WHERE isExist = 1;",
                          0, false);
  }
  SqlText sql("%s WHERE path GLOB '%q/*' and isExist = 1;", kListColumns, GlobEscape(p).c_str());
  if (!sql) {
    EDB_LOG(ERROR, "FileEventDB: Failed to sqlite3_mprintf.\n");
    return -1;
  }
  return fillListLocked(list, sql.get(), p.size() + 1, false);
}

int FileEventDB::getFileListWithoutRecursive(FileList* list, const ustring& prefix) {
  if (prefix.empty()) return 0;
  std::string p = StoredPrefix(prefix);
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (p.empty()) {
    return fillListLocked(list,
                          "SELECT fileType, fileModTime, fileSize, path FROM eventinfo WHERE isExist = 1 "
                          "AND path LIKE '%' AND path NOT LIKE '%/%';",
                          0, true);
  }
  // GLOB, not LIKE: LIKE would take "%" and "_" in the name as wildcards and
  // ignore letter case, listing another folder's children.
  std::string esc = GlobEscape(p);
  SqlText sql("%s WHERE isExist = 1 AND path GLOB '%q/*' AND path NOT GLOB '%q/*/*';", kListColumns,
              esc.c_str(), esc.c_str());
  if (!sql) {
    EDB_LOG(ERROR, "FileEventDB: Failed to sqlite3_mprintf.\n");
    return -1;
  }
  return fillListLocked(list, sql.get(), p.size() + 1, true);
}

int FileEventDB::getFileListWithoutRecursive(FileList* list, const ustring& prefix, uint64_t sync_id) {
  if (prefix.empty()) return 0;
  std::string p = StoredPrefix(prefix);
  std::string esc = GlobEscape(p);
  SqlText sql = p.empty()
                    ? SqlText("%s WHERE isExist = 1 AND syncID <= %llu"
                              " AND path LIKE '%%' AND path NOT LIKE '%%/%%';",
                              kListColumns, static_cast<unsigned long long>(sync_id))
                    : SqlText("%s WHERE isExist = 1 AND syncID <= %llu"
                              " AND path GLOB '%q/*' AND path NOT GLOB '%q/*/*';",
                              kListColumns, static_cast<unsigned long long>(sync_id), esc.c_str(), esc.c_str());
  if (!sql) {
    EDB_LOG(ERROR, "FileEventDB: Failed to sqlite3_mprintf.\n");
    return -1;
  }
  std::lock_guard<std::mutex> lock(m_dbMutex);
  return fillListLocked(list, sql.get(), p.empty() ? 0 : p.size() + 1, true);
}

int FileEventDB::countEventInfo(const ustring& prefix, uint64_t& count) {
  std::string p = StoredPrefix(prefix);
  SqlText sql(p.empty() ? "SELECT COUNT(*) FROM eventinfo WHERE isExist = 1;"
                        : "SELECT COUNT(*) FROM eventinfo WHERE isExist = 1 AND (path = '%q' OR path GLOB '%q/*');",
              p.c_str(), GlobEscape(p).c_str());
  if (!sql) {
    EDB_LOG(ERROR, "FileEventDB: Failed to sqlite3_mprintf.\n");
    return -1;
  }
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return -1;
  Statement s;
  int rc = s.Prepare(m_db, sql.get());
  if (rc == SQLITE_OK) rc = s.Step();
  if (rc != SQLITE_ROW) {
    EDB_LOG(ERROR, "countEventInfo: [%d] %s\n", rc, sqlite3_errmsg(m_db));
    return -1;
  }
  count = s.ColumnUint64(0);
  return 0;
}

}  // namespace tidewell
