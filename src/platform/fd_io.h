// The two loops every descriptor user needs: waiting for one descriptor
// until a deadline (with an optional stop descriptor and abort flag), and
// writing a whole buffer through short writes, interruptions and, on a
// non-blocking descriptor, would-block waits. Files, sockets and pipes alike;
// a socket is written with MSG_NOSIGNAL, so a vanished peer gives EPIPE
// instead of killing the process.
//
// Thread-safe: plain functions; each call owns nothing but its arguments.

#ifndef TIDEWELL_PLATFORM_FD_IO_H_
#define TIDEWELL_PLATFORM_FD_IO_H_

#include <atomic>
#include <chrono>
#include <cstddef>

namespace tidewell {

using Deadline = std::chrono::steady_clock::time_point;

// A deadline that never comes.
constexpr Deadline kNoDeadline = Deadline::max();

// Now plus `ms` milliseconds (negative counts as 0).
Deadline DeadlineAfterMs(long long ms);

// What ends a wait besides readiness. Every member is optional.
struct WaitLimits {
  Deadline deadline = kNoDeadline;
  // A descriptor that becomes readable when the waiter should give up (an
  // eventfd or pipe of the caller's); -1 for none.
  int stop_fd = -1;
  // Non-zero: give up. Looked at before the first poll and at least once a
  // second while waiting.
  const std::atomic<int>* abort_flag = nullptr;
};

// How a wait ended.
enum class FdWait {
  kReady,    // `fd` shows one of the events, or an error or hang-up the next
             // transfer will report
  kTimeout,  // the deadline passed
  kStopped,  // the stop descriptor became readable (checked first)
  kAborted,  // the abort flag was raised
  kInvalid,  // `fd` is not an open descriptor
  kError,    // poll(2) itself failed; errno tells why
};

// Waits until `fd` shows `events` (POLLIN, POLLOUT) or a limit ends the
// wait. Interrupted polls resume with what remains. Polls at least once, so
// a descriptor that is ready at a passed deadline counts as ready.
FdWait WaitFd(int fd, short events, const WaitLimits& limits = {});

// Results of WriteAll. For kWriteFailed and kWriteNoSpace errno is set.
enum WriteAllResult : int {
  kWriteOk = 0,
  kWriteFailed = -1,   // the write failed (EPIPE, EIO, EBADF, ...) or the
                       // wait for a non-blocking descriptor did
  kWriteNoSpace = -2,  // the disk or the user's quota is full
  kWriteTimeout = -3,  // the deadline passed with bytes still unwritten
  kWriteStopped = -4,  // the stop descriptor became readable
  kWriteAborted = -5,  // the abort flag was raised
};

// Writes all `size` bytes of `data` to `fd` at its current position. On a
// descriptor that would block, waits for room within `limits`. `written`
// (may be null) receives how many bytes went out, also on failure.
[[nodiscard]] int WriteAll(int fd, const void* data, size_t size, const WaitLimits& limits = {},
                           size_t* written = nullptr);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_FD_IO_H_
