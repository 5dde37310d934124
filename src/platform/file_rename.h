// Renames within the file layer. All renames of the process are serialised
// by one mutex (RenameMutex), so a rename never races another rename of this
// process over the same target.

#ifndef TIDEWELL_PLATFORM_FILE_RENAME_H_
#define TIDEWELL_PLATFORM_FILE_RENAME_H_

#include <mutex>

#include "base/ustring.h"

namespace tidewell {

// Result of FSRename when a path is too long for the system.
constexpr int kRenamePathTooLong = -100;

// Moves `from` to `to`, replacing an existing target (rename(2): a directory
// replaces only an empty directory). After the move the directories of both
// names are flushed to disk. `do_case_check` is accepted and ignored.
// 0; -100 for ENAMETOOLONG; -1 for any other failure (ERROR
// "FSRename: error code %d\n" with errno).
[[nodiscard]] int FSRename(const ustring& from, const ustring& to, bool do_case_check);

// The process-wide rename mutex, for the layer's own renames.
std::mutex& RenameMutex();

// Flushes the directory `dir` to disk. 0, or -1 with errno. File systems that
// cannot flush directories (EINVAL, ENOTSUP) count as success.
int SyncDirectory(const char* dir);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_FILE_RENAME_H_
