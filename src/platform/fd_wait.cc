#include "platform/fd_wait.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "base/error_code.h"

namespace tidewell {

WakeupFd::WakeupFd() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeupFd::~WakeupFd() {
  if (fd_ >= 0) close(fd_);
}

void WakeupFd::Signal() {
  if (fd_ < 0) return;
  uint64_t one = 1;
  ssize_t n = write(fd_, &one, sizeof one);
  (void)n;  // a full counter is still readable
}

void WakeupFd::Drain() {
  if (fd_ < 0) return;
  uint64_t value;
  ssize_t n = read(fd_, &value, sizeof value);
  (void)n;  // nothing pending is fine
}

int WaitReadable(const std::vector<int>& fds, int timeout_ms, std::vector<bool>& ready) {
  std::vector<pollfd> polled;
  polled.reserve(fds.size());
  for (int fd : fds) polled.push_back({fd, POLLIN, 0});
  ready.assign(fds.size(), false);
  int n;
  do {
    n = poll(polled.data(), polled.size(), timeout_ms);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return ERR_SYS;
  for (size_t i = 0; i < polled.size(); ++i)
    ready[i] = polled[i].fd >= 0 && (polled[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
  return n;
}

}  // namespace tidewell
