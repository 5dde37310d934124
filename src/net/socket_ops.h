// Plain TCP socket operations under a Channel, and the readiness wait that
// the plain and SSL operations share.

#ifndef TIDEWELL_NET_SOCKET_OPS_H_
#define TIDEWELL_NET_SOCKET_OPS_H_

#include <sys/time.h>

#include "net/channel.h"

namespace tidewell {

// Result of WaitSocket.
enum class WaitResult {
  kReady,     // the socket is ready (or has an error/hang-up to report)
  kTimeout,   // nothing happened within the wait
  kNotInSet,  // the poll returned but not for this socket (invalid socket)
  kError,     // the poll itself failed; errno tells why
};

// Waits up to `wait` until `fd` is readable (`for_write` false) or writable.
// Interrupted polls are resumed with what remains of the wait.
WaitResult WaitSocket(int fd, bool for_write, const timeval& wait);

// Waits, after a transfer on `fd` found nothing to do, until the socket is
// writable (`for_write`) or readable. `writing` says whether a write or a
// read is waiting, which picks the log texts. Returns 0 when the socket is
// ready, ERR_TIMEOUT when the wait ran out, ERR_SYS when the poll returned
// but not for this socket and ERR_IO when the poll itself failed.
[[nodiscard]] int WaitForTransfer(int fd, bool writing, bool for_write, const timeval& wait);

// Shuts `fd` down in both directions, closes it and sets it to -1; does
// nothing when `fd` is already negative.
void CloseSocket(int& fd);

// Milliseconds of a poll interval, at least 1 for a non-zero interval.
int PollMillis(const timeval& wait);

// Operations on a connected plain socket, which the object owns: close()
// shuts it down in both directions and closes it. Not thread-safe.
class PlainSocketOps final : public ChannelOps {
 public:
  explicit PlainSocketOps(int fd) : fd_(fd) {}
  ~PlainSocketOps() override { close(); }

  int read(uint8_t* buf, size_t len, const timeval& wait) override;   // ReadFd
  int write(const uint8_t* buf, size_t len, const timeval& wait) override;  // WriteFd
  int get_fd() const override { return fd_; }
  void close() override;
  bool isInvalid() const override { return fd_ < 0; }

  int detach() override {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

}  // namespace tidewell

#endif  // TIDEWELL_NET_SOCKET_OPS_H_
