// Directory listing and the pre-order tree walk. Entries are reported as
// they are stored: symbolic links are never followed, so a walk cannot leave
// the tree or loop.
//
// A DIR_HANDLE belongs to one thread at a time; the functions themselves may
// be called from any thread.

#ifndef TIDEWELL_PLATFORM_DIR_LIST_H_
#define TIDEWELL_PLATFORM_DIR_LIST_H_

#include "base/ustring.h"
#include "platform/file_types.h"

namespace tidewell {

// Prepares `dh` to list `path`; bit kDirReadStat of `flag` asks for times and
// sizes. Touches nothing on disk (the directory is opened by the first
// FSReadDir); closes a listing `dh` may still hold. Always 0.
int FSOpenDir(const ustring& path, int flag, DIR_HANDLE& dh);

// Reads the next entry into `entry`: 1, or 0 at the end, or -1 when the
// directory cannot be opened or read. "." and ".." are returned like any
// other entry. With kDirReadStat, mtime is filled for every kind and size for
// regular files (0 for others); without it both are 0. An entry that vanishes
// between listing and lstat is skipped.
[[nodiscard]] int FSReadDir(DIR_HANDLE& dh, DIR_ENTRY& entry);

// Ends the listing and clears the path.
void FSCloseDir(DIR_HANDLE& dh);

// Callback of TraverseDir: non-zero refuses `path` (for a directory: do not
// descend into it).
using TraverseFn = int (*)(const ustring& path, void* priv);

// Pre-order walk: calls fn(dir); non-zero stops with -2. When `dir` is not an
// existing directory, DEBUG "TraverseDir: '%s' is not directory, stop here\n"
// and 0. Otherwise each entry except "." and "..", as dir + "/" + name: a
// directory is walked the same way (a negative result logs NOTE
// "TraverseDir: stopped at '%s'\n" and the walk goes on), any other entry is
// passed to fn (non-zero logs the same NOTE). -1 when `dir` cannot be
// listed (or reading it fails part-way), else 0.
[[nodiscard]] int TraverseDir(const ustring& dir, TraverseFn fn, void* priv);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_DIR_LIST_H_
