// Helpers shared by the file-layer tests.

#ifndef TIDEWELL_TESTS_PLATFORM_FS_TEST_UTIL_H_
#define TIDEWELL_TESTS_PLATFORM_FS_TEST_UTIL_H_

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

namespace tidewell::testing {

inline bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

inline mode_t ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// Sets or clears inode flags (immutable, append-only). False when the file
// system or our privileges do not allow it.
inline bool SetInodeFlags(const std::string& path, int add, int remove) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags = (flags | add) & ~remove;
    ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  close(fd);
  return ok;
}

// Makes a path immutable for the guard's lifetime, so the temporary folder
// can still be cleaned up afterwards.
class ImmutableGuard {
 public:
  explicit ImmutableGuard(std::string path) : path_(std::move(path)) {
    ok_ = SetInodeFlags(path_, FS_IMMUTABLE_FL, 0);
  }
  ~ImmutableGuard() {
    if (ok_) SetInodeFlags(path_, 0, FS_IMMUTABLE_FL);
  }
  ImmutableGuard(const ImmutableGuard&) = delete;
  ImmutableGuard& operator=(const ImmutableGuard&) = delete;
  bool ok() const { return ok_; }

 private:
  std::string path_;
  bool ok_ = false;
};

}  // namespace tidewell::testing

#endif  // TIDEWELL_TESTS_PLATFORM_FS_TEST_UTIL_H_
