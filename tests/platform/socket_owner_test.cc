#include "platform/socket_owner.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/loopback_socket.h"

namespace tidewell {
namespace {

// A listener on a free loopback port and a client connected to it.
class LoopbackPair {
 public:
  LoopbackPair() {
    EXPECT_EQ(0, listener_.Create());
    EXPECT_EQ(0, listener_.Bind(0));
    EXPECT_EQ(0, listener_.Listen(8));
    client_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(listener_.Port()));
    EXPECT_EQ(0, ::connect(client_, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
    EXPECT_EQ(1, listener_.WaitForConnection(5000));
    server_ = listener_.Accept();
    EXPECT_GE(server_, 0);
  }
  ~LoopbackPair() {
    CloseClient();
    ::close(server_);
  }
  void CloseClient() {
    if (client_ >= 0) ::close(client_);
    client_ = -1;
  }
  int server() const { return server_; }
  int client() const { return client_; }

 private:
  LoopbackListener listener_;
  int client_ = -1;
  int server_ = -1;
};

TEST(SocketOwnerTest, TheFarEndOfALoopbackConnectionIsOurs) {
  LoopbackPair pair;
  uint32_t uid = 12345;
  ASSERT_EQ(1, FindPeerOwner(pair.server(), uid));
  EXPECT_EQ(static_cast<uint32_t>(geteuid()), uid);
  // And from the other side.
  uid = 12345;
  ASSERT_EQ(1, FindPeerOwner(pair.client(), uid));
  EXPECT_EQ(static_cast<uint32_t>(geteuid()), uid);
}

// Another user's socket is tested where it matters, against the daemon's
// control port (tests/daemon/control_loop_test.cc).
TEST(SocketOwnerTest, AClosedFarEndHasNoOwner) {
  LoopbackPair pair;
  pair.CloseClient();  // orphaned, then TIME_WAIT: the kernel reports user 0
  uint32_t uid = 12345;
  EXPECT_EQ(0, FindPeerOwner(pair.server(), uid));
  EXPECT_EQ(12345u, uid);
}

}  // namespace
}  // namespace tidewell
