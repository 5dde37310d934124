#include "platform/fd_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/fault_seam.h"

namespace tidewell {

namespace {

using Clock = std::chrono::steady_clock;

// Longest single poll while an abort flag is to be watched.
constexpr long long kAbortSliceMs = 1000;
constexpr long long kMaxPollMs = 3600 * 1000;

bool Aborted(const WaitLimits& limits) {
  return limits.abort_flag != nullptr && limits.abort_flag->load(std::memory_order_relaxed) != 0;
}

// Milliseconds for the next poll: what is left of the deadline (rounded
// up), at most a second while an abort flag is watched, -1 for forever.
int NextPollMs(const WaitLimits& limits) {
  long long ms = -1;
  if (limits.deadline != kNoDeadline) {
    ms = std::max(0LL, static_cast<long long>(
                           std::chrono::ceil<std::chrono::milliseconds>(limits.deadline - Clock::now()).count()));
  }
  if (limits.abort_flag != nullptr && (ms < 0 || ms > kAbortSliceMs)) ms = kAbortSliceMs;
  // poll takes an int; longer waits go round the loop.
  return static_cast<int>(std::min(ms, kMaxPollMs));
}

}  // namespace

Deadline DeadlineAfterMs(long long ms) { return Clock::now() + std::chrono::milliseconds(std::max(0LL, ms)); }

FdWait WaitFd(int fd, short events, const WaitLimits& limits) {
  for (;;) {
    if (Aborted(limits)) return FdWait::kAborted;
    const int slice = NextPollMs(limits);
    pollfd fds[2] = {{fd, events, 0}, {limits.stop_fd, POLLIN, 0}};
    const int n = poll(fds, limits.stop_fd >= 0 ? 2 : 1, slice);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FdWait::kError;
    }
    if (n > 0) {
      if (limits.stop_fd >= 0 && fds[1].revents != 0) return FdWait::kStopped;
      if (fds[0].revents & POLLNVAL) return FdWait::kInvalid;
      if (fds[0].revents != 0) return FdWait::kReady;
    }
    if (limits.deadline != kNoDeadline && Clock::now() >= limits.deadline) return FdWait::kTimeout;
  }
}

int WriteAll(int fd, const void* data, size_t size, const WaitLimits& limits, size_t* written) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  bool socket = true;  // until the kernel says otherwise
  auto finish = [&](int result) {
    if (written != nullptr) *written = done;
    return result;
  };
  while (done < size) {
    ssize_t n = -1;
    if (!FaultDue(FaultPoint::kWrite)) {
      n = socket ? send(fd, p + done, size - done, MSG_NOSIGNAL) : -1;
      if (socket && n < 0 && errno == ENOTSOCK) socket = false;
      if (!socket) n = write(fd, p + done, size - done);
    }
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n == 0) {
      errno = EIO;  // a write that takes nothing will not take more
      return finish(kWriteFailed);
    }
    if (errno == EINTR) continue;
    if (errno == ENOSPC || errno == EDQUOT) return finish(kWriteNoSpace);
    if (errno != EAGAIN && errno != EWOULDBLOCK) return finish(kWriteFailed);
    switch (WaitFd(fd, POLLOUT, limits)) {
      case FdWait::kReady:
        break;
      case FdWait::kTimeout:
        return finish(kWriteTimeout);
      case FdWait::kStopped:
        return finish(kWriteStopped);
      case FdWait::kAborted:
        return finish(kWriteAborted);
      case FdWait::kInvalid:
        errno = EBADF;
        return finish(kWriteFailed);
      case FdWait::kError:
        return finish(kWriteFailed);
    }
  }
  return finish(kWriteOk);
}

}  // namespace tidewell
