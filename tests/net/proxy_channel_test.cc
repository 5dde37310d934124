// ProxyChannel and ProxyTunnelChannel through Debian's tinyproxy, and the
// CONNECT layer against scripted proxies.

#include "net/proxy_channel.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>

#include "base/error_code.h"
#include "conn_test_util.h"
#include "net/socket_ops.h"
#include "platform/proxy_tunnel.h"

namespace tidewell {
namespace {

using testing::EchoServer;
using testing::LoopbackListener;
using testing::TempDir;
using testing::TestRelay;
using testing::TinyProxy;

ProxyInfo ProxyAt(int port, const std::string& user = {}, const std::string& password = {}) {
  ProxyInfo p;
  p.use_proxy = true;
  p.proxy_ip = "127.0.0.1";
  p.proxy_port = static_cast<uint16_t>(port);
  p.user_name = user;
  p.password = password;
  return p;
}

void ExpectEcho(Channel& ch, const std::string& data) {
  ASSERT_EQ(0, ch.Write(data.data(), data.size()));
  ASSERT_EQ(0, ch.FlushWrite(0));
  std::string back(data.size(), '\0');
  ASSERT_EQ(0, ch.Read(back.data(), back.size()));
  EXPECT_EQ(data, back);
}

int OpenThrough(int proxy_port, int target_port, const char* user = nullptr, const char* password = nullptr) {
  ProxyTunnelEndpoint proxy{"127.0.0.1", static_cast<uint32_t>(proxy_port)};
  ProxyTunnelEndpoint target{"127.0.0.1", static_cast<uint32_t>(target_port)};
  ProxyTunnelCredentials cred{user, password, "", "", 4};
  ProxyTunnelLimits limits;
  limits.timeout_seconds = 10;
  return VELTProxyTunnelOpen(&proxy, &target, &cred, &limits);
}

TEST(ProxyChannelTest, ReachesTheTargetThroughTinyproxy) {
  TW_SKIP_WITHOUT_TINYPROXY();
  TempDir dir;
  TinyProxy proxy(dir);
  EchoServer echo;
  ProxyChannel ch(ProxyAt(proxy.port()));
  ASSERT_EQ(0, ch.Open("127.0.0.1", echo.port()));
  ExpectEcho(ch, "a");
  ExpectEcho(ch, std::string(Channel::kDefaultCapacity, 'z'));
  EXPECT_EQ(1, echo.connections());
  EXPECT_NE(std::string::npos, proxy.log().find("CONNECT 127.0.0.1:" + std::to_string(echo.port())));
}

TEST(ProxyChannelTest, RefusalLeavesTheChannelClosed) {
  TW_SKIP_WITHOUT_TINYPROXY();
  TempDir dir;
  TinyProxy proxy(dir);
  int nowhere = testing::UnusedLoopbackPort();
  EXPECT_EQ(kProxyTunnelRefused, OpenThrough(proxy.port(), nowhere));
  ProxyChannel ch(ProxyAt(proxy.port()));
  EXPECT_EQ(ERR_IO, ch.Open("127.0.0.1", nowhere));
  EXPECT_TRUE(ch.IsClosed());
  uint8_t b;
  EXPECT_EQ(ERR_IO, ch.ReadByte(b));
}

TEST(ProxyChannelTest, SendsBasicCredentialsWhenAUserIsGiven) {
  TW_SKIP_WITHOUT_TINYPROXY();
  TempDir dir;
  TinyProxy proxy(dir, "alice", "s3cret");
  EchoServer echo;
  EXPECT_EQ(kProxyTunnelAuth, OpenThrough(proxy.port(), echo.port()));
  EXPECT_EQ(kProxyTunnelAuth, OpenThrough(proxy.port(), echo.port(), "alice", "wrong"));
  int fd = OpenThrough(proxy.port(), echo.port(), "alice", "s3cret");
  ASSERT_GE(fd, 0);
  VELTProxyTunnelClose(fd);

  ProxyChannel ch(ProxyAt(proxy.port(), "alice", "s3cret"));
  ASSERT_EQ(0, ch.Open("127.0.0.1", echo.port()));
  ExpectEcho(ch, "authenticated");
}

TEST(ProxyChannelTest, ProxyThenRelayEndToEnd) {
  TW_SKIP_WITHOUT_TINYPROXY();
  TempDir dir;
  TinyProxy proxy(dir);
  TestRelay relay(dir);
  EchoServer echo;
  ProxyTunnelChannel ch(ProxyAt(proxy.port()), TunnelInfo{true, "127.0.0.1", static_cast<uint16_t>(relay.port())});
  ASSERT_EQ(0, ch.Open("127.0.0.1", echo.port()));
  ExpectEcho(ch, "proxy, relay, target");
  ExpectEcho(ch, std::string(100000 % Channel::kDefaultCapacity, 'q'));
  EXPECT_EQ(1u, relay.server().tunnels_opened());
  EXPECT_NE(std::string::npos, proxy.log().find("CONNECT 127.0.0.1:" + std::to_string(relay.port())));

  // A target the relay cannot reach fails after the proxy step.
  ProxyTunnelChannel bad(ProxyAt(proxy.port()), TunnelInfo{true, "127.0.0.1", static_cast<uint16_t>(relay.port())});
  EXPECT_EQ(ERR_IO, bad.Open("127.0.0.1", testing::UnusedLoopbackPort()));
  EXPECT_TRUE(bad.IsClosed());
}

// A proxy that answers every CONNECT with fixed bytes, in pieces.
class ScriptedProxy {
 public:
  explicit ScriptedProxy(std::vector<std::string> pieces) : pieces_(std::move(pieces)) {
    thread_ = std::thread([this] {
      int fd = listener_.Accept();
      if (fd < 0) return;
      std::string req;
      char buf[1024];
      while (req.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        req.append(buf, static_cast<size_t>(n));
      }
      {
        std::lock_guard<std::mutex> lock(mu_);
        request_ = req;
      }
      for (const auto& p : pieces_) {
        send(fd, p.data(), p.size(), MSG_NOSIGNAL);
        // Separate segments, so the reader sees the header arrive in parts.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      // Hold the connection until the client is done with it.
      while (recv(fd, buf, sizeof buf, 0) > 0) {
      }
      ::close(fd);
    });
  }
  ~ScriptedProxy() {
    listener_.Close();
    thread_.join();
  }
  int port() const { return listener_.port(); }
  // The request as received; complete once the client has its answer.
  std::string request() const {
    std::lock_guard<std::mutex> lock(mu_);
    return request_;
  }

 private:
  LoopbackListener listener_;
  const std::vector<std::string> pieces_;
  mutable std::mutex mu_;
  std::string request_;  // guarded by mu_
  std::thread thread_;
};

TEST(ProxyTunnelTest, TakesNoBytePastTheReplyHeader) {
  ScriptedProxy proxy({"HTTP/1.1 200 Connection established\r", "\n\r", "\nHELLO"});
  int fd = OpenThrough(proxy.port(), 4430, "bob", "pw");
  ASSERT_GE(fd, 0);
  std::string got;
  char buf[16];
  while (got.size() < 5) {
    ASSERT_EQ(WaitResult::kReady, WaitSocket(fd, false, timeval{5, 0}));
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    got.append(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ("HELLO", got);
  EXPECT_EQ(0u, proxy.request().find("CONNECT 127.0.0.1:4430 HTTP/1.1\r\n"));
  // "bob:pw" in base64.
  EXPECT_NE(std::string::npos, proxy.request().find("\r\nProxy-Authorization: Basic Ym9iOnB3\r\n"));
  VELTProxyTunnelClose(fd);
}

TEST(ProxyTunnelTest, RefusesAnswersThatAreNotHttp) {
  ScriptedProxy proxy({"SSH-2.0-something\r\n\r\n"});
  EXPECT_EQ(kProxyTunnelProtocol, OpenThrough(proxy.port(), 22));
}

TEST(ProxyTunnelTest, RefusesBadArgumentsAndUnreachableProxies) {
  EXPECT_EQ(kProxyTunnelConnect, OpenThrough(testing::UnusedLoopbackPort(), 80));
  ProxyTunnelEndpoint proxy{"127.0.0.1", 1};
  ProxyTunnelEndpoint bad_target{"host name", 80};
  EXPECT_EQ(kProxyTunnelInvalid, VELTProxyTunnelOpen(&proxy, &bad_target, nullptr));
  EXPECT_EQ(kProxyTunnelInvalid, VELTProxyTunnelOpen(&proxy, nullptr, nullptr));
  ProxyTunnelEndpoint target{"127.0.0.1", 80};
  ProxyTunnelCredentials injected{"a\r\nX-Evil: 1", "", "", "", 4};
  EXPECT_EQ(kProxyTunnelInvalid, VELTProxyTunnelOpen(&proxy, &target, &injected));
}

}  // namespace
}  // namespace tidewell
