// FileEventDB: one session's file event database, an SQLite file holding one
// row per synchronised file or directory (path, sync ids, size, time,
// hashes), the session's last server sync id, and the entries moved into the
// session's recycle folder. Beside the database file, a "sign" directory
// holds one signature file per file row, named after the row id, which the
// delete trigger removes together with the row. The byte-level layout is in
// docs/event-database.md.
//
// Thread-safe: every operation takes m_dbMutex for its whole duration, so a
// compound operation (setEventInfo with its ancestors and signature move) is
// never interleaved with another statement on the same object.

#ifndef TIDEWELL_DB_FILE_EVENT_DB_H_
#define TIDEWELL_DB_FILE_EVENT_DB_H_

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

#include "base/ustring.h"
#include "db/file_event_info.h"
#include "db/file_list.h"
#include "db/sqlite_util.h"

namespace tidewell {

// Column positions of `eventinfo`; reads address columns by position.
enum EventInfoColumn {
  EVINFO_ID = 0,
  EVINFO_FILETYPE = 1,
  EVINFO_ISEXIST = 2,
  EVINFO_SYNCID = 3,
  EVINFO_MAX_SYNCID = 4,
  EVINFO_PDIRID = 5,
  EVINFO_FILESIZE = 6,
  EVINFO_FILEMODTIME = 7,
  EVINFO_FILECHECKSUM = 8,
  EVINFO_BASENAME = 9,
  EVINFO_PATH = 10,
  EVINFO_FILEPRIVILEGE = 11,
  EVINFO_UPDATECLIEN = 12,
  EVINFO_SIGNPATH = 13,
  EVINFO_MACHASH = 14,
  EVINFO_WINDOWSHASH = 15,
  EVINFO_LINUXHASH = 16,
  EVINFO_VELTHASH = 17,
  EVINFO_INODE = 18,
  EVINFO_EXECBIT = 19,
  EVINFO_NUM_OF_TYPE = 20,
};

class FileEventDB {
 public:
  // What `contains` reports about a row.
  struct EventInfo {
    uint64_t row_id = 0;
    uint64_t sync_id = 0;
  };

  FileEventDB() = default;
  ~FileEventDB();
  FileEventDB(const FileEventDB&) = delete;
  FileEventDB& operator=(const FileEventDB&) = delete;

  // Opens (creating if needed) the database file `location` and its schema;
  // the signature directory is "sign" beside it. 0, also when already open;
  // -1 when the file cannot be opened or set up (the connection is closed).
  [[nodiscard]] int initialize(const ustring& location);
  // Closes the connection and forgets the paths. Safe when closed.
  void destroy();

  // Reads the row of `path` ("/a/b" or "a/b") into `info`. 1 found, 0 no
  // row, -1 for an empty path, when closed, or when the query fails. `info.path` is cleared first and
  // on success holds "/" + the stored path; `signaturePath` is the row's
  // signature file for a file row, empty for a directory.
  int getEventInfo(const ustring& path, ClientFileEventInfo& info);

  // Inserts or updates the row of `info.path`, creates missing ancestor
  // directory rows and raises their maxSyncID, and moves a file row's
  // signature file (`info.signaturePath`, handed over by the caller) under
  // the row id. A stored row with a higher syncID is left as it is, and the
  // handed-over signature is then deleted instead of replacing the stored
  // one. All database changes are one transaction. 0, or -1.
  [[nodiscard]] int setEventInfo(const ClientFileEventInfo& info);

  // Deletes the row of `path` and every row below it (their signature files
  // go with them). The SQLite result code (0 success), or -1 for an empty
  // path or a formatting failure.
  int rmEventInfo(const ustring& path);
  // The same, 0 or -1.
  int rmEventInfoV3(const ustring& path);

  // 1 when `path` has a row (fills `info`), 0 when not, -1 on error.
  int contains(const ustring& path, EventInfo& info);

  // The session's stored server sync id; a fresh database holds 0. 0/-1.
  int getSyncId(uint64_t& sync_id);
  int setSyncId(uint64_t sync_id);

  // Adds every existing row below `prefix` ("/" or empty: all rows) to
  // `list` by its path relative to the prefix. 0, or -1.
  int getFileList(FileList* list, const ustring& prefix);
  // Adds the existing direct children of `prefix` to the root of `list`. An
  // empty prefix adds nothing. 0, or -1.
  int getFileListWithoutRecursive(FileList* list, const ustring& prefix);
  // The same, only rows with syncID <= `sync_id`.
  int getFileListWithoutRecursive(FileList* list, const ustring& prefix, uint64_t sync_id);

  // Counts the existing rows at and below `prefix` ("/" or empty: every
  // row), so that a removal can be weighed against the whole session.
  // 0 with `count` set, or -1.
  int countEventInfo(const ustring& prefix, uint64_t& count);

  // Deletes every directory row and every row below the top level. 0/-1.
  int rmAllFolders();

  // Recycle bin: entries of what was moved into the session's recycle
  // folder, by their path inside it. All 0/-1 unless said.
  int addFileToRecycleBin(const ustring& unique_path, uint64_t file_size, const ustring& file_hash,
                          const ustring& mac_hash);
  // Deletes the entry `path`, given as stored or as the hash lookups answer
  // it (with a leading "/").
  int rmRecycleByPath(const ustring& path);
  // Moves the row of `path` into the recycle table as `unique_path`, in one
  // transaction.
  int dumpFileToRecycleBin(const ustring& unique_path, const ustring& path);
  // Moves the directory `path` (as an entry of size 0 named `unique_prefix`)
  // and the files below it (named `unique_prefix` + their path below it)
  // into the recycle table and deletes the subtree's rows, in one
  // transaction.
  int dumpDirToRecycleBin(const ustring& unique_prefix, const ustring& path);
  // The oldest entry's time, 0 for an empty table.
  int getOldestRecyleTime(uint32_t& oldest);
  // Top-level entries (no second "/") with time <= `criteria_time`.
  int getRotateList(uint32_t criteria_time, std::set<ustring>& list);
  // Deletes every entry, nested or not, with time <= `criteria_time`.
  int rmRotateRecords(uint32_t criteria_time);
  int resetRecycleBin();

  // The path of an existing file row (or a recycle entry) whose checksum is
  // `file_hash`, as a session path beginning with "/" (for the recycle
  // table: the entry's path inside the recycle folder). 1 found, 0 none
  // (always for an empty hash), -1 error. `mac_hash` is not used.
  int getFilePathByHash(const ustring& file_hash, const ustring& mac_hash, ustring& path);
  int getFilePathByHashFromRecycle(const ustring& file_hash, const ustring& mac_hash, ustring& path);

  // Not supported: always -1 without touching the database.
  int getPathByInode(uint64_t inode, ustring& path);
  int setPathInode(const ustring& path, uint64_t inode);

  // The signature file name of row `id` relative to the signature
  // directory: its bytes from the most significant non-zero one down, two
  // lower-case hex digits each, joined by "/", the last prefixed with "."
  // (4660 -> "12/.34").
  static std::string SignatureName(uint64_t id);
  // The signature file of row `id`: the signature directory + "/" +
  // SignatureName(id). Empty directory part while closed.
  ustring SignaturePath(uint64_t id);

 private:
  int containsLocked(const std::string& path, EventInfo& info);
  ustring SignaturePathLocked(uint64_t id) const;
  int setEventInfoLocked(const ClientFileEventInfo& info);
  int updateAncestorsLocked(const std::string& path, uint64_t sync_id, uint32_t mtime);
  int moveSignatureLocked(const ClientFileEventInfo& info, uint64_t row_id, bool row_changed);
  // Runs `sql` (several statements allowed). The SQLite result code.
  int execLocked(const char* sql, const char* what);
  // Runs a list query and adds its rows to `list`; `cut` bytes are removed
  // from the front of each path, `flat` adds them to the root.
  int fillListLocked(FileList* list, const char* sql, size_t cut, bool flat);
  int hashLookupLocked(const char* sql, const ustring& file_hash, ustring& path);
  void finalizeStatementsLocked();

  // Set by initialize, cleared by destroy; guarded by m_dbMutex.
  ustring m_eventDBPath;
  ustring m_signPath;
  std::mutex m_dbMutex;
  sqlite3* m_db = nullptr;
  // Reused statements of the busiest operations; guarded by m_dbMutex.
  Statement m_containsStmt;
  Statement m_selectStmt;
  Statement m_updateStmt;
  Statement m_insertStmt;
  Statement m_parentUpdateStmt;
  Statement m_parentInsertStmt;
};

}  // namespace tidewell

#endif  // TIDEWELL_DB_FILE_EVENT_DB_H_
