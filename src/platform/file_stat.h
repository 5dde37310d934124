// Looking at one path: existence (optionally with the exact letter case of
// the stored name), file information, modification time and canonical form.
// Symbolic links are never followed except by FSGetRealPath.
//
// All functions may be called from any thread.

#ifndef TIDEWELL_PLATFORM_FILE_STAT_H_
#define TIDEWELL_PLATFORM_FILE_STAT_H_

#include <cstdint>

#include "base/ustring.h"
#include "platform/file_types.h"

namespace tidewell {

// True when `path` names an existing entry (a dangling symbolic link
// exists). False for an empty path, a missing entry, and other errors (those
// log ERROR "FindFirstFile: %d\n" with errno). With `do_case_check` the last
// component must also equal, byte for byte, the name stored in the
// directory, which matters where the file system folds letter case.
// Trailing "/" are ignored.
bool IsFileExist(const ustring& path, bool do_case_check);

// Fills `info` for `path` (lstat semantics): isExist, path (= `path`), type,
// mtime, size (regular files only; 0 for other kinds), uid and gid; `name`
// is left as it was. A missing path (or, with `do_case_check`, one whose
// stored name differs in case) gives 0 with isExist false. Any other failure
// logs ERROR "FSStat: Failed on %s. Error code %d\n" and gives -1; it is
// never reported as a missing file.
[[nodiscard]] int FSStat(const ustring& path, _FILE_INFO_tag& info, bool do_case_check);

// What changes whenever a file's content or attributes change, to tell
// whether a file is still being written. Compared as a whole.
struct FileStamp {
  bool exists = false;
  FILE_TYPE type = FT_ERR;
  uint64_t size = 0;
  uint64_t inode = 0;
  int64_t mtime_ns = 0;
  int64_t ctime_ns = 0;

  bool operator==(const FileStamp& other) const = default;
};

// Fills `stamp` for `path` (lstat semantics, nanosecond times). A missing
// path gives 0 with exists false; any other failure -1 (logged).
[[nodiscard]] int FSStamp(const ustring& path, FileStamp& stamp);

// Sets the modification time of `path` itself (a symbolic link is not
// followed) to `mtime`, rounded down to an even second in FAT mode; `atime`
// is ignored and the access time left unchanged. 0, or -1 with ERROR
// "FSUTime: error code %d\n".
[[nodiscard]] int FSUTime(const ustring& path, uint32_t atime, uint32_t mtime);

// The identity of the directory `path` (symbolic links in it followed):
// its device and inode numbers, which tell whether a folder is still the
// one that was seen before or another one under the same name (a mount
// point after an unmount, a folder made in place of a moved one).
// 0; -ENOENT when it is missing, -ENOTDIR when it is not a directory, or
// another negated errno value. Logs nothing.
[[nodiscard]] int FSDirIdentity(const ustring& path, uint64_t& dev, uint64_t& ino);

// Replaces `path` by its canonical absolute form (realpath: symbolic links
// resolved) without trailing "/". 0, or -1 with ERROR
// "Cannot Get Short Path name for [%s].\n" (also for a missing path);
// `path` is unchanged on failure.
[[nodiscard]] int FSGetRealPath(ustring& path);

// 1 when directory `dir` holds an entry named exactly `name` (bytes), 0 when
// not, -1 when it cannot be listed. Used by the case check.
int DirectoryHasExactName(const char* dir, const char* name);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_FILE_STAT_H_
