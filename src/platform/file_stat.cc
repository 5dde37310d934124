#include "platform/file_stat.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "base/log.h"
#include "platform/fs_volume.h"
#include "platform/path_util.h"

namespace tidewell {

namespace {

// Whether the last component of `trimmed` (which lstat found) is stored under
// exactly that name. Only directories that may fold case are listed.
bool StoredNameMatches(const std::string& trimmed) {
  if (trimmed == "/") return true;
  std::string parent = pathutil::ParentOf(trimmed);
  if (!DirMayFoldCase(parent.c_str())) return true;
  std::string name(pathutil::BaseNameOf(trimmed));
  // A directory that cannot be listed leaves the lookup's answer standing.
  return DirectoryHasExactName(parent.c_str(), name.c_str()) != 0;
}

}  // namespace

FILE_TYPE FileTypeFromMode(unsigned mode) {
  switch (mode & S_IFMT) {
    case S_IFREG:
      return FT_FILE;
    case S_IFDIR:
      return FT_DIR;
    case S_IFLNK:
      return FT_SLINK;
    case S_IFCHR:
    case S_IFBLK:
      return FT_DEV;
    case S_IFIFO:
      return FT_FIFO;
    case S_IFSOCK:
      return FT_SOCK;
    default:
      return FT_ERR;
  }
}

uint32_t ClampTime(int64_t seconds) {
  if (seconds < 0) return 0;
  if (seconds > static_cast<int64_t>(UINT32_MAX)) return UINT32_MAX;
  return static_cast<uint32_t>(seconds);
}

int DirectoryHasExactName(const char* dir, const char* name) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir), &closedir);
  if (!d) return -1;
  errno = 0;
  while (struct dirent* e = readdir(d.get())) {
    if (strcmp(e->d_name, name) == 0) return 1;
  }
  return errno == 0 ? 0 : -1;
}

bool IsFileExist(const ustring& path, bool do_case_check) {
  if (path.empty()) return false;
  std::string trimmed(pathutil::TrimTrailingSlashes(path.utf8_view()));
  struct stat st;
  if (lstat(trimmed.c_str(), &st) != 0) {
    int err = errno;
    if (err != ENOENT && err != ENOTDIR) {
      TW_LOG_ERROR("file_op_debug", "file-op", "FindFirstFile: %d\n", err);
    }
    return false;
  }
  return !do_case_check || StoredNameMatches(trimmed);
}

int FSStat(const ustring& path, _FILE_INFO_tag& info, bool do_case_check) {
  info.isExist = false;
  if (path.empty()) return 0;
  std::string trimmed(pathutil::TrimTrailingSlashes(path.utf8_view()));
  struct stat st;
  if (lstat(trimmed.c_str(), &st) != 0) {
    int err = errno;
    if (err == ENOENT || err == ENOTDIR) return 0;
    TW_LOG_ERROR("file_op_debug", "file-op", "FSStat: Failed on %s. Error code %d\n",
                 path.c_str_utf8(), err);
    return -1;
  }
  if (do_case_check && !StoredNameMatches(trimmed)) return 0;
  info.isExist = true;
  info.path = path;
  info.type = FileTypeFromMode(st.st_mode);
  info.size = info.type == FT_FILE ? static_cast<uint64_t>(st.st_size) : 0;
  info.mtime = ClampTime(st.st_mtim.tv_sec);
  info.mtime_nsec = static_cast<uint32_t>(st.st_mtim.tv_nsec);
  info.uid = st.st_uid;
  info.gid = st.st_gid;
  return 0;
}

int FSStamp(const ustring& path, FileStamp& stamp) {
  stamp = FileStamp();
  if (path.empty()) return 0;
  std::string trimmed(pathutil::TrimTrailingSlashes(path.utf8_view()));
  struct stat st;
  if (lstat(trimmed.c_str(), &st) != 0) {
    int err = errno;
    if (err == ENOENT || err == ENOTDIR) return 0;
    TW_LOG_ERROR("file_op_debug", "file-op", "FSStamp: Failed on %s. Error code %d\n", path.c_str_utf8(), err);
    return -1;
  }
  stamp.exists = true;
  stamp.type = FileTypeFromMode(st.st_mode);
  stamp.size = static_cast<uint64_t>(st.st_size);
  stamp.inode = static_cast<uint64_t>(st.st_ino);
  stamp.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  stamp.ctime_ns = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return 0;
}

int FSUTime(const ustring& path, uint32_t /*atime*/, uint32_t mtime) {
  if (FSIsFatMode()) mtime &= ~1u;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(mtime);
  times[1].tv_nsec = 0;
  std::string trimmed(pathutil::TrimTrailingSlashes(path.utf8_view()));
  if (path.empty() || utimensat(AT_FDCWD, trimmed.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    int err = path.empty() ? ENOENT : errno;
    TW_LOG_ERROR("file_op_debug", "file-op", "FSUTime: error code %d\n", err);
    return -1;
  }
  return 0;
}

int FSDirIdentity(const ustring& path, uint64_t& dev, uint64_t& ino) {
  struct stat st;
  if (path.empty()) return -ENOENT;
  if (::stat(path.c_str_utf8(), &st) != 0) return -errno;
  if (!S_ISDIR(st.st_mode)) return -ENOTDIR;
  dev = static_cast<uint64_t>(st.st_dev);
  ino = static_cast<uint64_t>(st.st_ino);
  return 0;
}

int FSGetRealPath(ustring& path) {
  TW_LOG_DEBUG("file_op_debug", "file-op", "org path [%s]", path.c_str_utf8());
  std::unique_ptr<char, void (*)(void*)> resolved(
      path.empty() ? nullptr : realpath(path.c_str_utf8(), nullptr), &free);
  if (!resolved) {
    TW_LOG_ERROR("file_op_debug", "file-op", "Cannot Get Short Path name for [%s].\n",
                 path.c_str_utf8());
    return -1;
  }
  path = std::string(pathutil::TrimTrailingSlashes(resolved.get()));
  TW_LOG_DEBUG("file_op_debug", "file-op", "get full path [%s].", path.c_str_utf8());
  return 0;
}

}  // namespace tidewell
