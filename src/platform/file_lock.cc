#include "platform/file_lock.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/path_util.h"

namespace tidewell {

namespace {

bool IsDenial(int err) { return err == EACCES || err == EPERM || err == ETXTBSY; }

// Closes a descriptor when it goes out of scope.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

bool DeleteRefused(const std::string& path, const struct stat& item, int item_fd) {
  std::string parent = pathutil::ParentOf(path);
  if (faccessat(AT_FDCWD, parent.c_str(), W_OK | X_OK, AT_EACCESS) != 0 &&
      (IsDenial(errno) || errno == EROFS)) {
    return true;
  }
  struct stat dir;
  uid_t me = geteuid();
  if (stat(parent.c_str(), &dir) == 0 && (dir.st_mode & S_ISVTX) != 0 && me != 0 &&
      me != dir.st_uid && me != item.st_uid) {
    return true;
  }
  int flags = 0;
  return item_fd >= 0 && ioctl(item_fd, FS_IOC_GETFLAGS, &flags) == 0 &&
         (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
}

}  // namespace

bool isFileLocked(const ustring& path, uint32_t access) {
  if (path.empty()) return false;
  std::string p(pathutil::TrimTrailingSlashes(path.utf8_view()));
  struct stat st;
  if (lstat(p.c_str(), &st) != 0) return errno == EACCES;
  bool want_read = (access & kAccessRead) != 0;
  bool want_write = (access & kAccessWrite) != 0;
  bool want_delete = (access & kAccessDelete) != 0;

  // Only regular files and folders are opened: opening a device can have
  // effects of its own. Non-blocking keeps the open from waiting on anything.
  Fd item;
  if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
    item.fd = open(p.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
    if (item.fd < 0 && want_read && IsDenial(errno)) return true;
  } else if (want_read && !S_ISLNK(st.st_mode) &&
             faccessat(AT_FDCWD, p.c_str(), R_OK, AT_EACCESS) != 0 && IsDenial(errno)) {
    return true;
  }
  if (want_write && !S_ISLNK(st.st_mode) && faccessat(AT_FDCWD, p.c_str(), W_OK, AT_EACCESS) != 0 &&
      (IsDenial(errno) || errno == EROFS)) {
    return true;
  }
  if (want_delete && DeleteRefused(p, st, item.fd)) return true;

  if (item.fd >= 0 && S_ISREG(st.st_mode) && (want_read || want_write || want_delete)) {
    struct flock probe = {};
    probe.l_type = (want_write || want_delete) ? F_WRLCK : F_RDLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 0;
    probe.l_len = 0;  // the whole file
    if (fcntl(item.fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK) return true;
  }
  return false;
}

}  // namespace tidewell
