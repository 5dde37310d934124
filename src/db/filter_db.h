// FilterDB: the process-wide filter database (one SQLite file shared by all
// sessions; rows carry the session id). It remembers which selective-sync
// rules are in force and since which sync id, the resume conditions of
// loosened rules, and the local changes that filters kept back. The
// byte-level layout is in docs/filter-database.md.
//
// Thread-safe: one connection, every operation under m_db_mutex; a busy
// time-out of five minutes covers other connections to the same file.

#ifndef TIDEWELL_DB_FILTER_DB_H_
#define TIDEWELL_DB_FILTER_DB_H_

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <set>
#include <utility>

#include "base/ustring.h"
#include "db/filter_types.h"

namespace tidewell {

class Statement;

class FilterDB {
 public:
  // The process-wide instance, created closed on first use.
  static FilterDB& getInstance();

  FilterDB() = default;
  ~FilterDB();
  FilterDB(const FilterDB&) = delete;
  FilterDB& operator=(const FilterDB&) = delete;

  // Opens (creating if needed) the database at `path`. 0, also when already
  // open; -1 on failure (closed again).
  [[nodiscard]] int initialize(const ustring& path);
  void destroy();

  // All below: 0 success, -1 failure (also when closed), unless said.
  int setFilter(uint64_t sess_id, uint64_t sync_id, int filter_type, const ustring& desc);
  int rmFilter(uint64_t sess_id, int filter_type, const ustring& desc);
  int setSizeFilter(uint64_t sess_id, uint64_t sync_id, uint64_t size);
  int updateSizeFilter(uint64_t sess_id, uint64_t orig_size, uint64_t new_size);
  int rmSizeFilter(uint64_t sess_id, uint64_t size);
  // Fills `info` from the session's size rule; without one `info` is left
  // as it was and the result is still 0.
  int getSizeFilter(uint64_t sess_id, FilterInfo& info);

  // Stores a condition; `row_id` receives its identifier.
  int setResumeCondition(const ResumeCondition& cond, uint64_t& row_id);
  // Some stored condition: 1 found, 0 none, -1 error.
  int getResumeCondition(uint64_t& row_id, ResumeCondition& cond);
  // Appends the session's conditions with their identifiers.
  int getResumeConditionsBySession(uint64_t sess_id,
                                   std::list<std::pair<uint64_t, ResumeCondition>>& conds);
  int updateResumeSyncId(uint64_t row_id, uint64_t sync_id);
  int rmResumeCondition(uint64_t row_id);

  int setLocalFilteredEvent(const FilterLocalEvent& ev);
  // 1 found, 0 none, -1 error.
  int getLocalFilteredEventByPath(uint64_t sess_id, const ustring& path, FilterLocalEvent& ev);
  // Deletes the item and everything below it.
  int rmLocalFilteredEventByPath(uint64_t sess_id, const ustring& path);
  int cleanLocalFilteredEventBySession(uint64_t sess_id);
  int dumpLocalFilteredEvent(uint64_t sess_id, std::set<FilterLocalEvent>& events);

  int setConfigItem(const ustring& key, const ustring& value);
  // `overflow` = the stored "event_overflow" value, 1 when there is none.
  int checkEventOverflow(int& overflow);

  // The session's stored rules as a SelectiveSyncInfo (rules of unknown
  // type are logged and skipped).
  int ConvertFilterDBToSelectiveSyncInfo(uint64_t sess_id, SelectiveSyncInfo& info);

 private:
  int execLocked(const char* sql, const char* op);
  int execModify(const char* sql, const char* op);
  // Runs the query `sql` (null when formatting failed) and calls `on_row`
  // for each row under the database lock. 0 when every row was read, -1 on
  // any failure, logged with `op`.
  int queryRows(const char* sql, const char* op, const std::function<void(Statement&)>& on_row);

  // Guarded by m_db_mutex.
  ustring m_filter_db_path;
  std::mutex m_db_mutex;
  sqlite3* m_db = nullptr;
};

}  // namespace tidewell

#endif  // TIDEWELL_DB_FILTER_DB_H_
