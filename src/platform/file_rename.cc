#include "platform/file_rename.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "base/log.h"
#include "platform/fault_seam.h"
#include "platform/path_util.h"

namespace tidewell {

std::mutex& RenameMutex() {
  static std::mutex mutex;
  return mutex;
}

int SyncDirectory(const char* dir) {
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  int r = FaultDue(FaultPoint::kDirSync) ? -1 : fsync(fd);
  int saved = errno;
  close(fd);
  if (r != 0 && saved != EINVAL && saved != ENOTSUP) {
    errno = saved;
    return -1;
  }
  return 0;
}

int FSRename(const ustring& from, const ustring& to, bool /*do_case_check*/) {
  {
    std::lock_guard<std::mutex> lock(RenameMutex());
    if (from.empty() || to.empty()) errno = ENOENT;
    if (from.empty() || to.empty() || rename(from.c_str_utf8(), to.c_str_utf8()) != 0) {
      int err = errno;
      TW_LOG_ERROR("file_op_debug", "file-op", "FSRename: error code %d\n", err);
      return err == ENAMETOOLONG ? kRenamePathTooLong : -1;
    }
  }
  // Like a write-through move: the new name is on disk before we return.
  std::string to_dir = pathutil::ParentOf(to.utf8_view());
  std::string from_dir = pathutil::ParentOf(from.utf8_view());
  if (SyncDirectory(to_dir.c_str()) != 0 ||
      (from_dir != to_dir && SyncDirectory(from_dir.c_str()) != 0)) {
    int err = errno;
    TW_LOG_WARNING("file_op_debug", "file-op", "FSRename: cannot flush directory, error code %d\n",
                   err);
  }
  return 0;
}

}  // namespace tidewell
