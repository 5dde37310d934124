#include "platform/instance_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace tidewell {

int InstanceLock::TryAcquire(const std::string& path) {
  Release();
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  int r;
  do {
    r = flock(fd, LOCK_EX | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {
    int err = errno;
    close(fd);
    if (err == EWOULDBLOCK) return 0;
    errno = err;
    return -1;
  }
  fd_ = fd;
  return 1;
}

void InstanceLock::Release() {
  if (fd_ < 0) return;
  close(fd_);  // closing the last descriptor drops the flock
  fd_ = -1;
}

int IsInstanceLockHeld(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? 0 : -1;
  int r;
  do {
    r = flock(fd, LOCK_EX | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  int err = errno;
  close(fd);
  if (r == 0) return 0;
  return err == EWOULDBLOCK ? 1 : -1;
}

}  // namespace tidewell
