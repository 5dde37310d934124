#include "platform/loopback_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "platform/fd_wait.h"

namespace tidewell {

int LoopbackListener::Create() {
  Close();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return fd_ >= 0 ? 0 : -errno;
}

int LoopbackListener::Bind(int port) {
  if (fd_ < 0 || port < 0 || port > 65535) return -EINVAL;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return ::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 ? 0 : -errno;
}

int LoopbackListener::Listen(int backlog) {
  if (fd_ < 0) return -EINVAL;
  return ::listen(fd_, backlog) == 0 ? 0 : -errno;
}

int LoopbackListener::Port() const {
  if (fd_ < 0) return -EINVAL;
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -errno;
  return ntohs(addr.sin_port);
}

int LoopbackListener::WaitForConnection(int timeout_ms) const {
  if (fd_ < 0) return -EINVAL;
  std::vector<bool> ready;
  int n = WaitReadable({fd_}, timeout_ms, ready);
  if (n < 0) return -EIO;
  return n > 0 && ready[0] ? 1 : 0;
}

int LoopbackListener::Accept() const {
  if (fd_ < 0) return -EINVAL;
  int fd;
  do {
    fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd >= 0 ? fd : -errno;
}

void LoopbackListener::Close() {
  if (fd_ < 0) return;
  ::shutdown(fd_, SHUT_RDWR);
  ::close(fd_);
  fd_ = -1;
}

int GetSocketEnds(int fd, SocketEnds& ends) {
  sockaddr_in local{};
  sockaddr_in peer{};
  socklen_t local_len = sizeof local;
  socklen_t peer_len = sizeof peer;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_len) != 0) return -errno;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) return -errno;
  if (local.sin_family != AF_INET || peer.sin_family != AF_INET) return -EAFNOSUPPORT;
  ends.local_addr = local.sin_addr.s_addr;
  ends.local_port = local.sin_port;
  ends.peer_addr = peer.sin_addr.s_addr;
  ends.peer_port = peer.sin_port;
  return 0;
}

}  // namespace tidewell
