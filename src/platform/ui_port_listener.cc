#include "platform/ui_port_listener.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace tidewell {

int PortListener::Open(int port) {
  Close();
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t len = sizeof sa;
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  fd_ = fd;
  port_ = ntohs(sa.sin_port);
  return port_;
}

int PortListener::Accept(int timeout_ms) {
  if (fd_ < 0) {
    errno = EBADF;
    return -1;
  }
  pollfd p{fd_, POLLIN, 0};
  int n = poll(&p, 1, timeout_ms);
  if (n == 0) return 0;
  if (n < 0) return errno == EINTR ? 0 : -1;
  int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (c < 0) return (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) ? 0 : -1;
  return c;
}

void PortListener::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  port_ = 0;
}

namespace {

// The kernel table's form of an address: the raw 32-bit value in hex as
// the machine stores it, then the port in hex.
std::string TableForm(const sockaddr_in& sa) {
  char buf[32];
  snprintf(buf, sizeof buf, "%08X:%04X", static_cast<unsigned>(sa.sin_addr.s_addr),
           static_cast<unsigned>(ntohs(sa.sin_port)));
  return buf;
}

}  // namespace

long PortPeerUid(int fd) {
  sockaddr_in peer{}, self{};
  socklen_t plen = sizeof peer, slen = sizeof self;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &plen) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&self), &slen) != 0 || peer.sin_family != AF_INET) {
    return -1;
  }
  if ((ntohl(peer.sin_addr.s_addr) >> 24) != 127) return -1;
  // The peer's socket is the row whose local end is the peer's address and
  // whose remote end is ours.
  const std::string want_local = TableForm(peer);
  const std::string want_remote = TableForm(self);
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits;
    long uid = -1;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid)) continue;
    if (local == want_local && remote == want_remote) return uid;
  }
  return -1;
}

}  // namespace tidewell
