#include "platform/file_remove.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "base/log.h"
#include "platform/file_stat.h"
#include "platform/path_util.h"
#include "platform/trash.h"

namespace tidewell {

namespace {

std::mutex& TrashMutex() {
  static std::mutex mutex;
  return mutex;
}

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Deletes the contents of the directory open as `fd` (taken over) and
// reports whether all of it went.
bool RemoveContents(int fd) {
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return false;
  }
  // Some file systems skip entries when a directory changes under readdir:
  // go round until a pass finds the directory empty, or removes nothing.
  bool all_gone = false;
  for (int pass = 0; pass < 16; ++pass) {
    bool seen_any = false;
    bool removed_any = false;
    rewinddir(dir);
    while (struct dirent* e = readdir(dir)) {
      if (IsDotOrDotDot(e->d_name)) continue;
      seen_any = true;
      bool is_dir = e->d_type == DT_DIR;
      if (e->d_type == DT_UNKNOWN) {
        struct stat st;
        if (fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        is_dir = S_ISDIR(st.st_mode);
      }
      if (is_dir) {
        int child = openat(dirfd(dir), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child >= 0) RemoveContents(child);
        if (unlinkat(dirfd(dir), e->d_name, AT_REMOVEDIR) == 0) removed_any = true;
      } else if (unlinkat(dirfd(dir), e->d_name, 0) == 0) {
        removed_any = true;
      } else if (int err = errno; err != ENOENT) {
        TW_LOG_ERROR("file_op_debug", "file-op", "DeleteFile: error code %d\n", err);
      }
    }
    if (!seen_any) all_gone = true;
    if (!seen_any || !removed_any) break;
  }
  closedir(dir);
  return all_gone;
}

}  // namespace

int RemoveDirectoryRecursive(const ustring& path) {
  std::string p(pathutil::TrimTrailingSlashes(path.utf8_view()));
  int fd = p.empty() ? -1 : open(p.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    int err = p.empty() ? ENOENT : errno;
    TW_LOG_ERROR("file_op_debug", "file-op", "RemoveDirectoryRecursive: error code %d\n", err);
    return -1;
  }
  bool all_gone = RemoveContents(fd);
  if (rmdir(p.c_str()) != 0) {
    int err = errno;
    TW_LOG_ERROR("file_op_debug", "file-op", "RemoveDirectory: error code %d\n", err);
    return -1;
  }
  return all_gone ? 0 : -1;
}

int FSRemove(const ustring& path, bool allowundo) {
  if (path.empty()) return -1;
  _FILE_INFO_tag info;
  if (FSStat(path, info, true) != 0) return -1;
  if (!info.isExist) return 0;
  if (allowundo) {
    std::lock_guard<std::mutex> lock(TrashMutex());
    int r = MoveToTrash(path);
    if (r == 0) return 0;
    if (r != kTrashUnavailable) {
      int err = errno;
      TW_LOG_ERROR("file_op_debug", "file-op",
                   "SHFileOperation fail: %s %s  GetLastError:%d   return code: %d=%x\n",
                   path.c_str_utf8(), path.c_str_utf8(), err, r, static_cast<unsigned>(r));
      return -3;
    }
    TW_LOG_NOTE("file_op_debug", "file-op", "FSRemove: no trash can take '%s', deleting it\n",
                path.c_str_utf8());
  }
  if (info.type == FT_DIR) return RemoveDirectoryRecursive(path);
  if (info.type == FT_ERR) return -1;
  std::string p(pathutil::TrimTrailingSlashes(path.utf8_view()));
  if (unlink(p.c_str()) != 0) {
    int err = errno;
    TW_LOG_ERROR("file_op_debug", "file-op", "FSRemove: failed on %s. error code %d\n",
                 path.c_str_utf8(), err);
    return -1;
  }
  return 0;
}

}  // namespace tidewell
