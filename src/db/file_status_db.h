// FileStatusDB: the file status database, which records per local path
// whether the item is being synchronised right now, for readers outside the
// daemon (file-manager overlays). The daemon marks paths syncing when their
// event is queued and removes them when it is done. Layout in
// docs/file-status-database.md.
//
// Static operations only, on one process-wide connection opened by
// initialize and closed by destroy. Thread-safe: one mutex serialises the
// calls of this process; SQLite's locking, with a busy time-out of five
// minutes, serialises writers across processes. Marking and forgetting a
// path (the event manager does both under its own lock) reuse prepared
// statements.

#ifndef TIDEWELL_DB_FILE_STATUS_DB_H_
#define TIDEWELL_DB_FILE_STATUS_DB_H_

#include <cstdint>
#include <vector>

#include "base/ustring.h"

namespace tidewell {

enum FileSyncStatus {
  FSTAT_UNKNOWN = 0,  // also the answer for a path without a row
  FSTAT_SYNCED = 1,
  FSTAT_SYNCING = 2,
  FSTAT_UNSUPPORT = 3,
};

// Result columns of `fstatinfo` by position.
enum FileStatusColumn {
  FSTAT_DB_ID = 0,
  FSTAT_DB_PATH = 1,
  FSTAT_DB_FILETYPE = 2,
  FSTAT_DB_SYNCSTATUS = 3,
};

struct FileStatusInfo {
  int fileType = 0;  // 0 file, 1 directory
  int syncStatus = FSTAT_UNKNOWN;
  ustring path;  // full local path
};

class FileStatusDB {
 public:
  // The same as initialize(location).
  explicit FileStatusDB(const ustring& location);

  // Opens the database at `location` (closing one opened before) and
  // creates the table. 0, or -1 for an empty path or a database that
  // cannot be opened or set up (every call then fails until initialize).
  [[nodiscard]] static int initialize(const ustring& location);
  // Closes the connection; later calls fail until initialize.
  static void destroy();
  // How many connections this process has opened (diagnostics).
  static uint64_t ConnectionsOpened();

  // Inserts or replaces the row of `info.path`. 0, or -1.
  static int setFileSyncStat(const FileStatusInfo& info);
  // Deletes the row of `path`. 0, or -1.
  static int rmFileStatByPath(const ustring& path);
  // Deletes the row of `info.path` and every row below it, with either "/"
  // or "\" as the separator. 0, or -1.
  static int rmFileSyncStat(const FileStatusInfo& info);
  // Deletes every row and compacts the file. 0, or -1.
  static int removeAllEntry();
  // Marks every syncing row as synced. 0, or -1.
  static int updateAllSyncingEntry();

  // The row whose path is exactly `path`: 1 found (fills `info`), 0 none
  // (`info` reset), -1 for an empty path, a null `info` or a failure.
  static int getFileSyncStat(const ustring& path, FileStatusInfo* info);
  // Up to `limit` rows of the direct children of `dir` ("/" separated),
  // skipping the first `start`; `size` receives their number. Empty on
  // failure or for an empty `dir` (size 0).
  static std::vector<FileStatusInfo> getFileSyncStats(const ustring& dir, int start, int limit,
                                                      int& size);
  // True when some row strictly below `dir` (either separator) is syncing.
  static bool isAnySubFileDirSyncing(const ustring& dir);
  // True when any row is syncing.
  static bool isAnyFileSyncing();
};

}  // namespace tidewell

#endif  // TIDEWELL_DB_FILE_STATUS_DB_H_
