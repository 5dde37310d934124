// Opening a channel on a TCP socket: adopting an accepted socket, or
// creating one and connecting it with a time-out.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/error_code.h"
#include "net/channel.h"
#include "net/net_log.h"
#include "net/socket_ops.h"

namespace tidewell {

int Channel::Open(int socket, bool configure) {
  if (!IsClosed()) {
    CH_LOG_WARN("Open: Channel already opened [%d]", GetFd());
    CH_LOG_WARN("Open: %s", GetErrorString(ERR_INVAL));
    return ERR_INVAL;
  }
  if (socket < 0) return ERR_INVAL;
  if (configure) {
    if (SetLinger(socket, 1) < 0) {
      CH_LOG_WARN("Open: SetLinger to socket [%d] failed, %s", socket, strerror(errno));
      return ERR_SYS;
    }
    if (SetNonBlock(socket) < 0) {
      CH_LOG_WARN("Open: SetNonBlock to socket [%d] failed, %s", socket, strerror(errno));
      return ERR_SYS;
    }
  }
  InstallOps(std::make_unique<PlainSocketOps>(socket), false);
  CH_LOG_DEBUG("Channel: opening socket %d", socket);
  return ERR_OK;
}

int Channel::Open(const char* address, int port) {
  // A missing address used to "succeed" without opening anything; callers
  // then failed later with a misleading I/O error. Say what is wrong.
  if (address == nullptr || port < 0 || port > 65535) return ERR_INVAL;
  if (!IsClosed()) {
    CH_LOG_WARN("Open: Channel already opened [%d]", GetFd());
    return ERR_INVAL;
  }
  int fd = CreateSock();
  if (fd < 0) return ERR_IO;
  if (SetLinger(fd, 1) < 0 || SetNonBlock(fd) < 0) {
    ::close(fd);
    return ERR_SYS;
  }
  int rc = ConnectWithTimeout(fd, address, port);
  if (rc < 0) {
    ::close(fd);
    return rc == ERR_INVAL ? ERR_INVAL : ERR_IO;
  }
  // Small protocol writes (a header, then a value) must not wait for acks.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  InstallOps(std::make_unique<PlainSocketOps>(fd), false);
  return ERR_OK;
}

int Channel::CreateSock() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP); }

int Channel::SetLinger(int socket, int seconds) {
  linger l{};
  l.l_onoff = 1;
  l.l_linger = seconds;
  if (setsockopt(socket, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) {
    CH_LOG_WARN("setsockopt: %s", strerror(errno));
    return ERR_INT;
  }
  return ERR_OK;
}

int Channel::SetNonBlock(int socket) {
  int flags = fcntl(socket, F_GETFL, 0);
  if (flags < 0 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0) {
    CH_LOG_WARN("ioctl: Error code: %d", errno);
    return ERR_INT;
  }
  return ERR_OK;
}

int Channel::ConnectWithTimeout(int socket, const char* address, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (socket < 0 || address == nullptr || port < 0 || port > 65535 ||
      inet_pton(AF_INET, address, &sa.sin_addr) != 1) {
    CH_LOG_WARN("Invalid argumants (ip: %s, port: %d", address ? address : "(null)", port);
    return ERR_INVAL;
  }
  int rc = ::connect(socket, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  if (rc == 0) return ERR_OK;
  // An interrupted connect goes on in the background, like one in progress.
  if (errno != EINPROGRESS && errno != EINTR) {
    CH_LOG_WARN("connect: Error Code: %d", errno);
    return ERR_SYS;
  }
  // Each unanswered poll counts three seconds against channel_timeout, so the
  // default 60 s gives up after 20 one-second polls.
  uint32_t waited = 0;
  for (;;) {
    if (Aborted()) return ERR_INT;
    WaitResult w = WaitSocket(socket, true, poll_interval());
    if (w == WaitResult::kReady) break;
    if (w != WaitResult::kTimeout) {
      CH_LOG_WARN("select: Error Code: %d", errno);
      return ERR_SYS;
    }
    waited += 3;
    uint32_t limit = GetTimeout();
    if (limit != 0 && waited >= limit) {
      CH_LOG_WARN("Channel timed out during connect (%d seconds), abort anyway", static_cast<int>(limit));
      return ERR_TIMEOUT;
    }
  }
  // Writable also means "failed": a refused connect must not pass as open.
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  if (err != 0) {
    CH_LOG_WARN("connect: Error Code: %d", err);
    return ERR_SYS;
  }
  return ERR_OK;
}

}  // namespace tidewell
