// A small tmpfs for behaviour that needs a second file system (moves between
// mounts, a full disk).
//
// The test process moves into a mount namespace of its own, mounts the
// tmpfs on `mount_dir`, and on destruction unmounts it and returns to its
// original namespace. Nothing outside the process ever sees the mount, and
// it vanishes with the process if a test crashes. Needs CAP_SYS_ADMIN and a
// single-threaded process; ok() is false otherwise.

#ifndef TIDEWELL_TESTS_PLATFORM_PRIVATE_MOUNT_H_
#define TIDEWELL_TESTS_PLATFORM_PRIVATE_MOUNT_H_

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <string>

namespace tidewell::testing {

class PrivateTmpfs {
 public:
  PrivateTmpfs(const std::string& mount_dir, size_t size_bytes) {
    original_ns_ = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    if (original_ns_ < 0 || unshare(CLONE_NEWNS) != 0) return;
    entered_ = true;
    std::string options = "size=" + std::to_string(size_bytes) + ",mode=0755";
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mount("tmpfs", mount_dir.c_str(), "tmpfs", 0, options.c_str()) == 0) {
      path_ = mount_dir;
    }
  }

  ~PrivateTmpfs() {
    if (!path_.empty()) umount2(path_.c_str(), MNT_DETACH);
    if (entered_) setns(original_ns_, CLONE_NEWNS);
    if (original_ns_ >= 0) close(original_ns_);
  }

  PrivateTmpfs(const PrivateTmpfs&) = delete;
  PrivateTmpfs& operator=(const PrivateTmpfs&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

 private:
  int original_ns_ = -1;
  bool entered_ = false;
  std::string path_;
};

}  // namespace tidewell::testing

#endif  // TIDEWELL_TESTS_PLATFORM_PRIVATE_MOUNT_H_
