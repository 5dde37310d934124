// Removing files and trees, to the user's trash or for good.

#ifndef TIDEWELL_PLATFORM_FILE_REMOVE_H_
#define TIDEWELL_PLATFORM_FILE_REMOVE_H_

#include "base/ustring.h"

namespace tidewell {

// Removes `path`. -1 for an empty path or a failing FSStat; 0 when the path
// does not exist (with its exact case). With `allowundo` the item is moved to
// the user's trash (MoveToTrash), one trash move at a time; when no trash on
// its file system can take it, it is deleted for good instead, and any other
// trash failure logs ERROR "SHFileOperation fail: ..." and gives -3.
// Deleting for good: a directory with RemoveDirectoryRecursive; a file,
// symbolic link (never followed), FIFO, socket or device node is unlinked
// (failure: ERROR "FSRemove: failed on %s. error code %d\n", -1).
// Safe from any thread.
[[nodiscard]] int FSRemove(const ustring& path, bool allowundo);

// Deletes directory `path` and everything below it, never following symbolic
// links (a link inside is removed itself; `path` itself being a link fails).
// The walk goes on past entries that cannot be deleted (ERROR
// "DeleteFile: error code %d\n"). 0 only when everything went; else -1, with
// ERROR "RemoveDirectoryRecursive: error code %d\n" when `path` cannot be
// opened and "RemoveDirectory: error code %d\n" when it cannot be removed.
[[nodiscard]] int RemoveDirectoryRecursive(const ustring& path);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_FILE_REMOVE_H_
