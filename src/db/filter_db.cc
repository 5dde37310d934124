#include "db/filter_db.h"

#include <string>

#include "base/log.h"
#include "db/db_log.h"
#include "db/sqlite_util.h"

namespace tidewell {
namespace {

constexpr int kSizeFilterType = -15;  // FILTER_FILE_SIZE_SELECTIVE_SYNC

const char kSchema[] =
    "PRAGMA journal_mode = WAL;PRAGMA synchronous = NORMAL;BEGIN;"
    "CREATE TABLE IF NOT EXISTS config_table (key VARCHAR PRIMARY KEY ON CONFLICT IGNORE, "
    "value VARCHAR NOT NULL);"
    "CREATE TABLE IF NOT EXISTS filter_table (sess_id INTEGER NOT NULL, sync_id INTEGER NOT NULL, "
    "filter_type INTEGER NOT NULL, filter_desc TEXT NOT NULL, "
    "PRIMARY KEY (sess_id, filter_type, filter_desc) ON CONFLICT IGNORE);"
    "CREATE TABLE IF NOT EXISTS filter_range_table (sess_id INTEGER NOT NULL, "
    "sync_id INTEGER NOT NULL, filter_type INTEGER NOT NULL, filter_desc TEXT NOT NULL, "
    "PRIMARY KEY (sess_id, filter_type, filter_desc) ON CONFLICT IGNORE);"
    "CREATE TABLE IF NOT EXISTS filter_resume_table (id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "sess_id INTEGER NOT NULL, sync_id INTEGER NOT NULL, filter_type INTEGER NOT NULL, "
    "filter_desc TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS filtered_local_event_table (sess_id INTEGER NOT NULL, "
    "file_type INTEGER NOT NULL, is_exist INTEGER NOT NULL, path TEXT NOT NULL, "
    "sync_id NUMERIC NOT NULL, file_size NUMERIC NOT NULL, file_mod_time NUMERIC NOT NULL, "
    "file_checksum TEXT NOT NULL, base_name TEXT NOT NULL, win_hash TEXT DEFAULT NULL, "
    "mac_hash TEXT DEFAULT NULL, linux_hash TEXT DEFAULT NULL, velt_hash TEXT DEFAULT NULL, "
    "inode INTEGER, filtered_type NUMERIC NOT NULL, PRIMARY KEY (sess_id, path));"
    "CREATE INDEX IF NOT EXISTS filter_table_sess_id_idx ON filter_table(sess_id);"
    "CREATE INDEX IF NOT EXISTS filter_table_type_idx ON filter_table(filter_type);"
    "CREATE INDEX IF NOT EXISTS filter_table_desc_idx ON filter_table(filter_desc);"
    "CREATE INDEX IF NOT EXISTS filter_range_table_sess_id_idx ON filter_range_table(sess_id);"
    "CREATE INDEX IF NOT EXISTS filter_range_table_type_idx ON filter_range_table(filter_type);"
    "CREATE INDEX IF NOT EXISTS filter_range_table_desc_idx ON filter_range_table(filter_desc);"
    "CREATE INDEX IF NOT EXISTS filter_resume_table_sess_id_idx ON filter_resume_table(sess_id);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_sess_id_idx "
    "ON filtered_local_event_table(sess_id);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_path_idx "
    "ON filtered_local_event_table(path);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_filtered_type_idx "
    "ON filtered_local_event_table(filtered_type);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_file_size_idx "
    "ON filtered_local_event_table(file_size);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_base_name_idx "
    "ON filtered_local_event_table(base_name);"
    "INSERT or IGNORE into config_table values ('version', 1); COMMIT;";

using ull = unsigned long long;

ustring Text(const Statement& s, int col) { return ustring(std::string(s.ColumnText(col))); }

// Reads the columns of a filtered local event from file_type on, which
// stand at `first` and the twelve columns after it, in table order.
void ReadFilteredEventColumns(const Statement& s, int first, FilterLocalEvent& ev) {
  ev.file_type = static_cast<int>(s.ColumnInt64(first));
  ev.sync_id = s.ColumnUint64(first + 1);
  ev.file_size = s.ColumnUint64(first + 2);
  ev.file_mod_time = static_cast<uint32_t>(s.ColumnInt64(first + 3));
  ev.file_checksum = Text(s, first + 4);
  ev.base_name = Text(s, first + 5);
  ev.win_hash = Text(s, first + 6);
  ev.mac_hash = Text(s, first + 7);
  ev.linux_hash = Text(s, first + 8);
  ev.velt_hash = Text(s, first + 9);
  ev.inode = s.ColumnUint64(first + 10);
  ev.filtered_type = static_cast<int>(s.ColumnInt64(first + 11));
  ev.is_exist = static_cast<int>(s.ColumnInt64(first + 12));
}

}  // namespace

FilterDB& FilterDB::getInstance() {
  static FilterDB instance;
  return instance;
}

FilterDB::~FilterDB() { destroy(); }

int FilterDB::initialize(const ustring& path) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db != nullptr) {
    FDB_LOG(INFO, "FilterDB has been initialized (no-op)\n");
    return 0;
  }
  sqlite3* db = nullptr;
  int rc = sqlite3_open(path.c_str_utf8(), &db);
  if (rc != SQLITE_OK) {
    FDB_LOG(ERROR, "FilterDB: Failed to open database at '%s'. [%d] %s\n", path.c_str_utf8(), rc,
            db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    return -1;
  }
  char* err = nullptr;
  rc = sqlite3_exec(db, kSchema, nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    FDB_LOG(ERROR, "FilterDB: Failed to initialize database at '%s'. [%d] %s\n", path.c_str_utf8(),
            rc, err != nullptr ? err : "");
    FDB_LOG(ERROR, "FilterDB init fail %s\n", err != nullptr ? err : "");
    sqlite3_free(err);
    sqlite3_close(db);
    return -1;
  }
  sqlite3_busy_timeout(db, 300000);
  m_db = db;
  m_filter_db_path = path;
  FDB_LOG(INFO, "FilterDB has been initialized with location '%s'\n", path.c_str_utf8());
  return 0;
}

void FilterDB::destroy() {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) {
    FDB_LOG(INFO, "FilterDB has been deinitialzed (no-op)\n");
    return;
  }
  sqlite3_close(m_db);
  m_db = nullptr;
  m_filter_db_path.clear();
  FDB_LOG(INFO, "FilterDB has been deinitialzed\n");
}

int FilterDB::execLocked(const char* sql, const char* op) {
  if (m_db == nullptr) return -1;
  FDB_LOG(DEBUG, "%s sql : %s\n", op, sql);
  char* err = nullptr;
  int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    FDB_LOG(ERROR, "FilterDB %s fail: %s (%d).\n", op, err != nullptr ? err : sqlite3_errstr(rc), rc);
  }
  sqlite3_free(err);
  return rc == SQLITE_OK ? 0 : -1;
}

int FilterDB::execModify(const char* sql, const char* op) {
  if (sql == nullptr) {
    FDB_LOG(ERROR, "FilterDB: Failed to sqlite3_mprintf.\n");
    return -1;
  }
  std::lock_guard<std::mutex> lock(m_db_mutex);
  return execLocked(sql, op);
}

int FilterDB::queryRows(const char* sql, const char* op, const std::function<void(Statement&)>& on_row) {
  if (sql == nullptr) {
    FDB_LOG(ERROR, "FilterDB: Failed to sqlite3_mprintf.\n");
    return -1;
  }
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return -1;
  Statement s;
  int rc = s.Prepare(m_db, sql);
  while (rc == SQLITE_OK || rc == SQLITE_ROW) {
    rc = s.Step();
    if (rc != SQLITE_ROW) break;
    on_row(s);
  }
  if (rc != SQLITE_DONE) {
    FDB_LOG(ERROR, "FilterDB %s fail: %s (%d).\n", op, sqlite3_errmsg(m_db), rc);
    return -1;
  }
  return 0;
}

int FilterDB::setFilter(uint64_t sess_id, uint64_t sync_id, int filter_type, const ustring& desc) {
  SqlText sql("INSERT INTO filter_table  (sess_id, sync_id, filter_type, filter_desc) VALUES (%llu, %llu, %d, %Q)",
              ull{sess_id}, ull{sync_id}, filter_type, desc.c_str_utf8());
  return execModify(sql.get(), "setFilter");
}

int FilterDB::rmFilter(uint64_t sess_id, int filter_type, const ustring& desc) {
  SqlText sql("DELETE FROM filter_table WHERE (sess_id = %llu AND filter_type = %d AND filter_desc = %Q)",
              ull{sess_id}, filter_type, desc.c_str_utf8());
  return execModify(sql.get(), "rmFilter");
}

int FilterDB::setSizeFilter(uint64_t sess_id, uint64_t sync_id, uint64_t size) {
  SqlText sql("INSERT INTO filter_range_table  (sess_id, sync_id, filter_type, filter_desc) VALUES (%llu, %llu, %d, %llu)",
              ull{sess_id}, ull{sync_id}, kSizeFilterType, ull{size});
  return execModify(sql.get(), "setSizeFilter");
}

int FilterDB::updateSizeFilter(uint64_t sess_id, uint64_t orig_size, uint64_t new_size) {
  SqlText sql("UPDATE filter_range_table SET filter_desc = %llu WHERE sess_id = %llu AND filter_type = %d AND filter_desc = %llu",
              ull{new_size}, ull{sess_id}, kSizeFilterType, ull{orig_size});
  return execModify(sql.get(), "updateSizeFilter");
}

int FilterDB::rmSizeFilter(uint64_t sess_id, uint64_t size) {
  SqlText sql("DELETE FROM filter_range_table WHERE sess_id = %llu AND filter_type = %d AND filter_desc = %llu;",
              ull{sess_id}, kSizeFilterType, ull{size});
  return execModify(sql.get(), "rmSizeFilter");
}

int FilterDB::getSizeFilter(uint64_t sess_id, FilterInfo& info) {
  SqlText sql("SELECT filter_desc, sync_id FROM filter_range_table WHERE sess_id = %llu AND filter_type = %d;",
              ull{sess_id}, kSizeFilterType);
  if (!sql) {
    FDB_LOG(ERROR, "FilterDB: Failed to sqlite3_mprintf.\n");
    return -1;
  }
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return -1;
  Statement s;
  int rc = s.Prepare(m_db, sql.get());
  if (rc == SQLITE_OK) rc = s.Step();
  if (rc == SQLITE_ROW) {
    info.filter_desc = Text(s, 0);
    info.sync_id = s.ColumnUint64(1);
    return 0;
  }
  if (rc == SQLITE_DONE) return 0;
  FDB_LOG(ERROR, "FilterDB getSizeFilter fail: %s (%d).\n", sqlite3_errmsg(m_db), rc);
  return -1;
}

int FilterDB::setResumeCondition(const ResumeCondition& cond, uint64_t& row_id) {
  SqlText sql("INSERT INTO filter_resume_table (sess_id, sync_id, filter_type, filter_desc) VALUES (%llu, %llu, %d, %Q);",
              ull{cond.sess_id}, ull{cond.sync_id}, cond.filter_type, cond.filter_desc.c_str_utf8());
  if (!sql) {
    FDB_LOG(ERROR, "FilterDB: Failed to sqlite3_mprintf.\n");
    return -1;
  }
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (execLocked(sql.get(), "setResumeCondition") != 0) return -1;
  row_id = static_cast<uint64_t>(sqlite3_last_insert_rowid(m_db));
  return 0;
}

int FilterDB::getResumeCondition(uint64_t& row_id, ResumeCondition& cond) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return -1;
  Statement s;
  int rc = s.Prepare(m_db, "SELECT id, sess_id, sync_id, filter_type, filter_desc FROM filter_resume_table LIMIT 1;");
  if (rc == SQLITE_OK) rc = s.Step();
  if (rc == SQLITE_ROW) {
    row_id = s.ColumnUint64(0);
    cond.sess_id = s.ColumnUint64(1);
    cond.sync_id = s.ColumnUint64(2);
    cond.filter_type = static_cast<int>(s.ColumnInt64(3));
    cond.filter_desc = Text(s, 4);
    return 1;
  }
  if (rc == SQLITE_DONE) return 0;
  FDB_LOG(ERROR, "FilterDB getResumeCondition fail: %s (%d).\n", sqlite3_errmsg(m_db), rc);
  return -1;
}

int FilterDB::getResumeConditionsBySession(uint64_t sess_id,
                                           std::list<std::pair<uint64_t, ResumeCondition>>& conds) {
  SqlText sql("SELECT id, sync_id, filter_type, filter_desc FROM filter_resume_table WHERE sess_id = %llu;",
              ull{sess_id});
  return queryRows(sql.get(), "getResumeConditionsBySession", [&](Statement& s) {
    ResumeCondition c;
    c.sess_id = sess_id;
    c.sync_id = s.ColumnUint64(1);
    c.filter_type = static_cast<int>(s.ColumnInt64(2));
    c.filter_desc = Text(s, 3);
    conds.emplace_back(s.ColumnUint64(0), c);
  });
}

int FilterDB::updateResumeSyncId(uint64_t row_id, uint64_t sync_id) {
  SqlText sql("UPDATE filter_resume_table SET sync_id = %llu WHERE id = %llu;", ull{sync_id}, ull{row_id});
  return execModify(sql.get(), "updateResumeSyncId");
}

int FilterDB::rmResumeCondition(uint64_t row_id) {
  SqlText sql("DELETE FROM filter_resume_table WHERE id = %llu;", ull{row_id});
  return execModify(sql.get(), "rmResumeCondition");
}

int FilterDB::setLocalFilteredEvent(const FilterLocalEvent& ev) {
  SqlText sql(
      "INSERT OR REPLACE INTO filtered_local_event_table  (sess_id, file_type, is_exist, sync_id, "
      "path, file_size, file_mod_time, file_checksum, base_name, win_hash, mac_hash, linux_hash, "
      "velt_hash, inode, filtered_type) VALUES (%llu, %d, %d, %llu, %Q, %llu, %lu, %Q, %Q, %Q, %Q, "
      "%Q, %Q, %llu, %d)",
      ull{ev.sess_id}, ev.file_type, ev.is_exist, ull{ev.sync_id}, ev.path.c_str_utf8(),
      ull{ev.file_size}, static_cast<unsigned long>(ev.file_mod_time), ev.file_checksum.c_str_utf8(),
      ev.base_name.c_str_utf8(), ev.win_hash.c_str_utf8(), ev.mac_hash.c_str_utf8(),
      ev.linux_hash.c_str_utf8(), ev.velt_hash.c_str_utf8(), ull{ev.inode}, ev.filtered_type);
  return execModify(sql.get(), "setLocalFilteredEvent");
}

int FilterDB::getLocalFilteredEventByPath(uint64_t sess_id, const ustring& path, FilterLocalEvent& ev) {
  SqlText sql(
      "SELECT file_type, sync_id, file_size, file_mod_time, file_checksum, base_name, win_hash, "
      "mac_hash, linux_hash, velt_hash, inode, filtered_type, is_exist FROM "
      "filtered_local_event_table WHERE sess_id = %llu AND path = %Q;",
      ull{sess_id}, path.c_str_utf8());
  if (!sql) {
    FDB_LOG(ERROR, "FilterDB: Failed to sqlite3_mprintf.\n");
    return -1;
  }
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return -1;
  Statement s;
  int rc = s.Prepare(m_db, sql.get());
  if (rc == SQLITE_OK) rc = s.Step();
  if (rc == SQLITE_DONE) return 0;
  if (rc != SQLITE_ROW) {
    FDB_LOG(ERROR, "FilterDB getLocalFilteredEventByPath fail: %s (%d).\n", sqlite3_errmsg(m_db), rc);
    return -1;
  }
  ev.sess_id = sess_id;
  ev.path = path;
  ReadFilteredEventColumns(s, 0, ev);
  return 1;
}

int FilterDB::rmLocalFilteredEventByPath(uint64_t sess_id, const ustring& path) {
  // GLOB-escaped so that "*", "?" or "[" in the name cannot reach siblings.
  SqlText sql(
      "DELETE FROM filtered_local_event_table WHERE sess_id = %llu AND (path = %Q OR path GLOB '%q/*');",
      ull{sess_id}, path.c_str_utf8(), GlobEscape(path.utf8_view()).c_str());
  return execModify(sql.get(), "rmLocalFilteredEventByPath");
}

int FilterDB::cleanLocalFilteredEventBySession(uint64_t sess_id) {
  SqlText sql("DELETE FROM filtered_local_event_table WHERE sess_id = %llu;", ull{sess_id});
  return execModify(sql.get(), "cleanLocalFilteredEventBySession");
}

int FilterDB::dumpLocalFilteredEvent(uint64_t sess_id, std::set<FilterLocalEvent>& events) {
  SqlText sql(
      "SELECT path, file_type, sync_id, file_size, file_mod_time, file_checksum, base_name, "
      "win_hash, mac_hash, linux_hash, velt_hash, inode, filtered_type, is_exist FROM "
      "filtered_local_event_table WHERE sess_id = %llu;",
      ull{sess_id});
  return queryRows(sql.get(), "dumpLocalFilteredEvent", [&](Statement& s) {
    FilterLocalEvent ev;
    ev.sess_id = sess_id;
    ev.path = Text(s, 0);
    ReadFilteredEventColumns(s, 1, ev);
    events.insert(ev);
  });
}

int FilterDB::setConfigItem(const ustring& key, const ustring& value) {
  SqlText sql("INSERT OR REPLACE INTO config_table  (key, value) VALUES(%Q, %Q);", key.c_str_utf8(),
              value.c_str_utf8());
  return execModify(sql.get(), "setConfigItem");
}

int FilterDB::checkEventOverflow(int& overflow) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return -1;
  Statement s;
  int rc = s.Prepare(m_db, "SELECT value FROM config_table WHERE key = 'event_overflow';");
  if (rc == SQLITE_OK) rc = s.Step();
  if (rc == SQLITE_ROW) {
    overflow = static_cast<int>(s.ColumnInt64(0));
    return 0;
  }
  if (rc == SQLITE_DONE) {
    overflow = 1;
    return 0;
  }
  FDB_LOG(ERROR, "FilterDB checkEventOverflow fail: %s (%d).\n", sqlite3_errmsg(m_db), rc);
  return -1;
}

int FilterDB::ConvertFilterDBToSelectiveSyncInfo(uint64_t sess_id, SelectiveSyncInfo& info) {
  SqlText sql(
      "SELECT filter_type, sync_id, filter_desc FROM filter_table WHERE sess_id = %llu  UNION ALL "
      "SELECT filter_type, sync_id, filter_desc FROM filter_range_table WHERE sess_id = %llu;",
      ull{sess_id}, ull{sess_id});
  return queryRows(sql.get(), "ConvertFilterDBToSelectiveSyncInfo", [&](Statement& s) {
    int64_t type = s.ColumnInt64(0);
    FilterInfo fi;
    fi.sync_id = s.ColumnUint64(1);
    fi.filter_desc = Text(s, 2);
    switch (type) {
      case -13: info.black_prefix.insert(fi); break;
      case -14: info.black_name.insert(fi); break;
      case -12: info.black_ext.insert(fi); break;
      case -15: info.black_size = fi; break;
      default:
        FDB_LOG(ERROR, "Unknow filter_type: %llu\n", static_cast<ull>(type));
        break;
    }
  });
}

}  // namespace tidewell
