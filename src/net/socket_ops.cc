#include "net/socket_ops.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/error_code.h"
#include "net/net_log.h"
#include "platform/fd_io.h"

namespace tidewell {

int PollMillis(const timeval& wait) {
  long long ms = static_cast<long long>(wait.tv_sec) * 1000 + (wait.tv_usec + 999) / 1000;
  if (ms < 0) ms = 0;
  if (ms > 24LL * 3600 * 1000) ms = 24LL * 3600 * 1000;
  return static_cast<int>(ms);
}

WaitResult WaitSocket(int fd, bool for_write, const timeval& wait) {
  WaitLimits limits;
  limits.deadline = DeadlineAfterMs(PollMillis(wait));
  // Errors and hang-ups count as ready: the next transfer reports them.
  switch (WaitFd(fd, for_write ? POLLOUT : POLLIN, limits)) {
    case FdWait::kReady:
      return WaitResult::kReady;
    case FdWait::kTimeout:
      return WaitResult::kTimeout;
    case FdWait::kInvalid:
      return WaitResult::kNotInSet;
    default:
      return WaitResult::kError;
  }
}

int WaitForTransfer(int fd, bool writing, bool for_write, const timeval& wait) {
  switch (WaitSocket(fd, for_write, wait)) {
    case WaitResult::kReady:
      break;
    case WaitResult::kTimeout:
      return ERR_TIMEOUT;
    case WaitResult::kNotInSet:
      if (writing) {
        CH_LOG_WARN("WriteFd: select but fd [%d] not ready", fd);
      } else {
        CH_LOG_WARN("ReadFd: select but fd [%d] not ready", fd);
      }
      return ERR_SYS;
    case WaitResult::kError:
      if (writing) {
        CH_LOG_WARN("select: %s", strerror(errno));
      } else {
        CH_LOG_WARN("select: [%d] %s", errno, strerror(errno));
      }
      return ERR_IO;
  }
  return ERR_OK;
}

// The socket is used with MSG_DONTWAIT whatever its own mode, so a socket
// adopted without configuring can never block a transfer past its wait. The
// transfer is tried first and the poll only runs when nothing was ready,
// which saves a system call per block on a busy connection.
int PlainSocketOps::read(uint8_t* buf, size_t len, const timeval& wait) {
  if (len == 0) {
    CH_LOG_WARN("ReadFd: request 0");
    return ERR_INVAL;
  }
  if (fd_ < 0) return ERR_IO;
  bool waited = false;
  for (;;) {
    ssize_t n = recv(fd_, buf, len, MSG_DONTWAIT);
    if (n > 0) return static_cast<int>(n);
    if (n == 0) {
      CH_LOG_WARN("read: %s", "connection closed by peer");
      CH_LOG_WARN("Diagnose: select says the socket is readable but actually we can't read ... connection closed?");
      return ERR_IO;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      CH_LOG_WARN("read: %s", strerror(errno));
      return ERR_IO;
    }
    if (waited) return ERR_TIMEOUT;  // readable but empty: one more tick
    int rc = WaitForTransfer(fd_, false, false, wait);
    if (rc < 0) return rc;
    waited = true;
  }
}

int PlainSocketOps::write(const uint8_t* buf, size_t len, const timeval& wait) {
  if (len == 0) {
    CH_LOG_WARN("WriteFd: request 0");
    return ERR_INVAL;
  }
  if (fd_ < 0) return ERR_IO;
  bool waited = false;
  for (;;) {
    ssize_t n = send(fd_, buf, len, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) return static_cast<int>(n);
    if (n == 0) {
      CH_LOG_WARN("write: %s", "nothing written");
      CH_LOG_WARN("Diagnose: select says the socket is writeable but actually we can't write ... connection closed?");
      return ERR_IO;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      CH_LOG_WARN("write: %s", strerror(errno));
      return ERR_IO;
    }
    if (waited) return ERR_TIMEOUT;
    int rc = WaitForTransfer(fd_, true, true, wait);
    if (rc < 0) return rc;
    waited = true;
  }
}

void CloseSocket(int& fd) {
  if (fd < 0) return;
  shutdown(fd, SHUT_RDWR);
  ::close(fd);
  fd = -1;
}

void PlainSocketOps::close() { CloseSocket(fd_); }

}  // namespace tidewell
