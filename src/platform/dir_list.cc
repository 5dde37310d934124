#include "platform/dir_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "base/log.h"
#include "platform/file_stat.h"

namespace tidewell {

namespace {

FILE_TYPE FileTypeFromDirent(unsigned char d_type) {
  switch (d_type) {
    case DT_REG:
      return FT_FILE;
    case DT_DIR:
      return FT_DIR;
    case DT_LNK:
      return FT_SLINK;
    case DT_CHR:
    case DT_BLK:
      return FT_DEV;
    case DT_FIFO:
      return FT_FIFO;
    case DT_SOCK:
      return FT_SOCK;
    default:
      return FT_ERR;  // DT_UNKNOWN: ask lstat
  }
}

}  // namespace

DIR_HANDLE::DIR_HANDLE(DIR_HANDLE&& other) noexcept
    : path(std::move(other.path)), flag(other.flag), handle(std::exchange(other.handle, nullptr)) {}

DIR_HANDLE& DIR_HANDLE::operator=(DIR_HANDLE&& other) noexcept {
  if (this != &other) {
    if (handle) closedir(handle);
    path = std::move(other.path);
    flag = other.flag;
    handle = std::exchange(other.handle, nullptr);
  }
  return *this;
}

DIR_HANDLE::~DIR_HANDLE() {
  if (handle) closedir(handle);
}

int FSOpenDir(const ustring& path, int flag, DIR_HANDLE& dh) {
  FSCloseDir(dh);
  dh.path = path;
  dh.flag = flag;
  return 0;
}

int FSReadDir(DIR_HANDLE& dh, DIR_ENTRY& entry) {
  if (dh.handle == nullptr) {
    dh.handle = dh.path.empty() ? nullptr : opendir(dh.path.c_str_utf8());
    if (dh.handle == nullptr) return -1;
  }
  for (;;) {
    errno = 0;
    struct dirent* e = readdir(dh.handle);
    if (e == nullptr) return errno == 0 ? 0 : -1;
    FILE_TYPE type = FileTypeFromDirent(e->d_type);
    bool want_stat = (dh.flag & kDirReadStat) != 0;
    struct stat st;
    if (type == FT_ERR || want_stat) {
      if (fstatat(dirfd(dh.handle), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;  // removed since it was listed
        return -1;
      }
      type = FileTypeFromMode(st.st_mode);
    }
    entry.name = e->d_name;
    entry.type = type;
    entry.mtime = want_stat ? ClampTime(st.st_mtim.tv_sec) : 0;
    entry.size = want_stat && type == FT_FILE ? static_cast<uint64_t>(st.st_size) : 0;
    return 1;
  }
}

void FSCloseDir(DIR_HANDLE& dh) {
  if (dh.handle) closedir(dh.handle);
  dh.handle = nullptr;
  dh.path.clear();
}

int TraverseDir(const ustring& dir, TraverseFn fn, void* priv) {
  if (fn(dir, priv) != 0) return -2;
  _FILE_INFO_tag info;
  if (FSStat(dir, info, true) != 0 || !info.isExist || info.type != FT_DIR) {
    TW_LOG_DEBUG("file_op_debug", "file-op", "TraverseDir: '%s' is not directory, stop here\n",
                 dir.c_str_utf8());
    return 0;
  }
  DIR_HANDLE dh;
  FSOpenDir(dir, 0, dh);
  DIR_ENTRY entry;
  int r;
  while ((r = FSReadDir(dh, entry)) == 1) {
    if (strcmp(entry.name.c_str_utf8(), ".") == 0 || strcmp(entry.name.c_str_utf8(), "..") == 0) {
      continue;
    }
    ustring child = dir;
    if (child.empty() || child[child.length() - 1] != '/') child += '/';
    child += entry.name;
    int child_result = entry.type == FT_DIR ? TraverseDir(child, fn, priv) : fn(child, priv);
    if (entry.type == FT_DIR ? child_result < 0 : child_result != 0) {
      TW_LOG_NOTE("file_op_debug", "file-op", "TraverseDir: stopped at '%s'\n", child.c_str_utf8());
    }
  }
  return r < 0 ? -1 : 0;
}

}  // namespace tidewell
