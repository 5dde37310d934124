// Waiting for several descriptors at once, and a descriptor other threads
// can make readable to cut such a wait short.
//
// WakeupFd is thread-safe: Signal may be called from any thread while
// another waits.

#ifndef TIDEWELL_PLATFORM_FD_WAIT_H_
#define TIDEWELL_PLATFORM_FD_WAIT_H_

#include <vector>

namespace tidewell {

class WakeupFd {
 public:
  WakeupFd();
  ~WakeupFd();
  WakeupFd(const WakeupFd&) = delete;
  WakeupFd& operator=(const WakeupFd&) = delete;

  // The descriptor to wait on; -1 when it could not be created (waits then
  // simply run to their time-out).
  int fd() const { return fd_; }
  // Makes fd() readable until the next Drain().
  void Signal();
  void Drain();

 private:
  int fd_ = -1;
};

// Waits up to `timeout_ms` until one of `fds` (negative entries are
// ignored) is readable. `ready[i]` tells which. Returns how many are ready
// (0 on time-out), or a negative error code.
int WaitReadable(const std::vector<int>& fds, int timeout_ms, std::vector<bool>& ready);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_FD_WAIT_H_
