#include "common/loopback.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tidewell::testing {

LoopbackListener::LoopbackListener(int backlog) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_GE(fd, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
  EXPECT_EQ(0, listen(fd, backlog));
  EXPECT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len));
  port_ = ntohs(sa.sin_port);
  fd_ = fd;
}

LoopbackListener::~LoopbackListener() { Close(); }

int LoopbackListener::Accept() { return ::accept4(fd_.load(), nullptr, nullptr, SOCK_CLOEXEC); }

void LoopbackListener::Close() {
  const int fd = fd_.exchange(-1);
  if (fd < 0) return;
  // shutdown wakes an accept blocked on the socket before it is closed.
  shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

int UnusedLoopbackPort() {
  LoopbackListener l;
  return l.port();
}

}  // namespace tidewell::testing
