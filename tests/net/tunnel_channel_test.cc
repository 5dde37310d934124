// TunnelChannel against the relay service and against scripted relays that
// answer in ways the service itself never does.

#include "net/tunnel_channel.h"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/error_code.h"
#include "common/random.h"
#include "conn_test_util.h"
#include "net/socket_ops.h"
#include "net/ssl_session.h"
#include "net/ssl_setup.h"
#include "net/tunnel_client.h"
#include "net/tunnel_crypto.h"
#include "relay/relay_request.h"

namespace tidewell {
namespace {

using testing::EchoServer;
using testing::LoopbackListener;
using testing::TempDir;
using testing::TestRelay;

// Sends `data` through the channel and expects it back from an echo target.
void ExpectEcho(Channel& ch, const std::string& data) {
  ASSERT_EQ(0, ch.Write(data.data(), data.size()));
  ASSERT_EQ(0, ch.FlushWrite(0));
  std::string back(data.size(), '\0');
  ASSERT_EQ(0, ch.Read(back.data(), back.size()));
  EXPECT_EQ(data, back);
}

TunnelInfo RelayAt(int port) { return TunnelInfo{true, "127.0.0.1", static_cast<uint16_t>(port)}; }

// Runs `op` on a non-blocking SSL session until it completes.
template <typename Op>
int SslBlocking(SSL* ssl, Op op) {
  for (;;) {
    int rc = op();
    if (rc > 0) return rc;
    int err = SSL_get_error(ssl, rc);
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) return -1;
    if (WaitSocket(SSL_get_fd(ssl), err == SSL_ERROR_WANT_WRITE, timeval{5, 0}) != WaitResult::kReady) return -1;
  }
}

// A relay that answers every tunnel request with a fixed text (or not at
// all), then echoes raw bytes. It records the request it got.
class ScriptedRelay {
 public:
  ScriptedRelay(const TempDir& dir, std::string answer, bool silent = false)
      : answer_(std::move(answer)), silent_(silent) {
    testing::WriteSelfSignedCert(dir.Join("fake.crt"), dir.Join("fake.key"), "fake");
    SetCERTPath(dir.Join("fake.crt"));
    SetPriKeyPath(dir.Join("fake.key"));
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedRelay() {
    listener_.Close();
    thread_.join();
  }
  int port() const { return listener_.port(); }
  std::string request() {
    std::lock_guard<std::mutex> lock(mu_);
    return request_;
  }

 private:
  void Serve() {
    int fd = listener_.Accept();
    if (fd < 0) return;
    SslPtr ssl = NewSslSession(true, fd);
    // No session tickets: a silent relay must really send nothing.
    if (ssl != nullptr) SSL_set_num_tickets(ssl.get(), 0);
    if (ssl != nullptr && SslHandshake(ssl.get(), timeval{1, 0}, 10, nullptr) == 0) {
      std::string req;
      char buf[1024];
      while (req.find("\r\n\r\n") == std::string::npos) {
        int n = SslBlocking(ssl.get(), [&] { return SSL_read(ssl.get(), buf, sizeof buf); });
        if (n <= 0) break;
        req.append(buf, static_cast<size_t>(n));
      }
      {
        std::lock_guard<std::mutex> lock(mu_);
        request_ = req;
      }
      if (silent_) {
        // Hold the connection until the client gives up and closes it.
        while (recv(fd, buf, sizeof buf, 0) > 0) {
        }
      } else {
        SslBlocking(ssl.get(), [&] { return SSL_write(ssl.get(), answer_.data(), static_cast<int>(answer_.size())); });
        ssl.reset();
        for (;;) {
          if (WaitSocket(fd, false, timeval{10, 0}) != WaitResult::kReady) break;
          ssize_t n = recv(fd, buf, sizeof buf, 0);
          if (n <= 0 || send(fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
        }
      }
    }
    ssl.reset();
    ::close(fd);
  }

  LoopbackListener listener_;
  const std::string answer_;
  const bool silent_;
  std::thread thread_;
  std::mutex mu_;
  std::string request_;
};

TEST(TunnelChannelTest, RelayForwardsBothWaysAtBufferBoundaries) {
  TempDir dir;
  EchoServer echo;
  TestRelay relay(dir);
  TunnelChannel ch(RelayAt(relay.port()));
  ASSERT_EQ(0, ch.Open("127.0.0.1", echo.port()));
  EXPECT_FALSE(ch.IsSSL());
  for (size_t n : {size_t{1}, size_t{13}, size_t{4096}, Channel::kDefaultCapacity - 1, Channel::kDefaultCapacity}) {
    ExpectEcho(ch, testing::RandomBytes(n, n));
  }
  EXPECT_EQ(1, echo.connections());
  EXPECT_EQ(1u, relay.server().tunnels_opened());
  ch.Close();
  EXPECT_TRUE(relay.server().WaitUntilIdle(10));
}

TEST(TunnelChannelTest, ServerProtocolSslRunsInsideTheTunnel) {
  // The tunnel carries raw bytes, so an SSL session end to end through it
  // works as on a direct connection.
  TempDir dir;
  TestRelay relay(dir);
  testing::WriteSelfSignedCert(dir.Join("server.crt"), dir.Join("server.key"));
  SetCERTPath(dir.Join("server.crt"));
  SetPriKeyPath(dir.Join("server.key"));
  LoopbackListener target;
  std::thread server([&] {
    Channel s;
    ASSERT_EQ(0, s.Open(target.Accept(), true));
    ASSERT_EQ(0, s.ConvertToSSLChannel(true));
    uint32_t v = 0;
    ASSERT_EQ(0, s.ReadInt32(v));
    ASSERT_EQ(0, s.WriteInt32(v + 1));
    ASSERT_EQ(0, s.FlushWrite(0));
  });
  TunnelChannel ch(RelayAt(relay.port()));
  ASSERT_EQ(0, ch.Open("127.0.0.1", target.port()));
  ASSERT_EQ(0, ch.ConvertToSSLChannel(false));
  ASSERT_EQ(0, ch.WriteInt32(41));
  ASSERT_EQ(0, ch.FlushWrite(0));
  uint32_t v = 0;
  ASSERT_EQ(0, ch.ReadInt32(v));
  EXPECT_EQ(42u, v);
  server.join();
}

TEST(TunnelChannelTest, RelayRefusalsFailOpenAndLeaveTheChannelClosed) {
  TempDir dir;
  EchoServer echo;
  RelayServer::Options options;
  options.allowed_targets = {"127.0.0.1:" + std::to_string(echo.port())};
  TestRelay relay(dir, options);

  TunnelChannel unreachable(RelayAt(relay.port()));
  EXPECT_EQ(ERR_IO, unreachable.Open("127.0.0.1", testing::UnusedLoopbackPort()));  // not allowed
  EXPECT_TRUE(unreachable.IsClosed());
  uint8_t b;
  EXPECT_EQ(ERR_IO, unreachable.ReadByte(b));

  TunnelChannel allowed(RelayAt(relay.port()));
  ASSERT_EQ(0, allowed.Open("127.0.0.1", echo.port()));
  ExpectEcho(allowed, "x");

  TunnelChannel no_relay(RelayAt(testing::UnusedLoopbackPort()));
  EXPECT_EQ(ERR_IO, no_relay.Open("127.0.0.1", echo.port()));
  EXPECT_EQ(ERR_INVAL, no_relay.Open(nullptr, echo.port()));
  EXPECT_EQ(ERR_INVAL, no_relay.Open("127.0.0.1", -1));
}

TEST(TunnelChannelTest, RelayAnswersWithTheStatusItsTargetRulesGive) {
  TempDir dir;
  EchoServer echo;
  const std::string echo_target = "127.0.0.1:" + std::to_string(echo.port());
  struct Case {
    const char* what;
    bool allow_any;
    std::vector<std::string> allowed;
    bool to_echo;  // the echo server, or a port where nothing listens
    int status;
  } cases[] = {
      // Closed by default: nothing allowed, nothing served.
      {"no rules", false, {}, true, kRelayForbidden},
      {"listed exactly", false, {echo_target}, true, kRelayConnected},
      {"another port of the host", false, {echo_target}, false, kRelayForbidden},
      {"any port of the host", false, {"127.0.0.1:*"}, true, kRelayConnected},
      {"another host", false, {"127.0.0.2:*"}, true, kRelayForbidden},
      {"any target", true, {}, true, kRelayConnected},
      {"any target, nothing listens", true, {}, false, kRelayUnreachable},
  };
  int expected_connections = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RelayServer::Options options;
    options.allow_any = c.allow_any;
    options.allowed_targets = c.allowed;
    TestRelay relay(dir, options);
    Channel plain;
    ASSERT_EQ(0, plain.Open("127.0.0.1", relay.port()));
    SslPtr ssl = NewSslSession(false, plain.GetFd());
    ASSERT_NE(nullptr, ssl);
    ASSERT_EQ(0, SslHandshake(ssl.get(), timeval{1, 0}, 10, nullptr));
    const int port = c.to_echo ? echo.port() : testing::UnusedLoopbackPort();
    EXPECT_EQ(c.status, VELTTunnelClientHandshake(ssl.get(), "127.0.0.1", port, 1, 0, 10));
    if (c.to_echo && c.status == kRelayConnected) ++expected_connections;
  }
  // A refused tunnel never reaches its target. The echo server counts a
  // connection once it has accepted it, a moment after the relay connected.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (echo.connections() < expected_connections && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(expected_connections, echo.connections());
}

TEST(TunnelChannelTest, RelayRefusesATokenForAnotherTarget) {
  TempDir dir;
  EchoServer echo;
  TestRelay relay(dir);
  Channel plain;
  ASSERT_EQ(0, plain.Open("127.0.0.1", relay.port()));
  SslPtr ssl = NewSslSession(false, plain.GetFd());
  ASSERT_EQ(0, SslHandshake(ssl.get(), timeval{1, 0}, 10, nullptr));
  std::string request = "GET /velt-tunnel HTTP/1.1\r\nHost: tidewell-relay\r\nUpgrade: VeltronaTunnel\r\n"
                        "X-Target-Host: 127.0.0.1\r\nX-Target-Port: " + std::to_string(echo.port()) +
                        "\r\nX-AuthToken: " + MakeTunnelToken("127.0.0.1:1") + "\r\n\r\n";
  ASSERT_EQ(0, VELTTunnelNonBlockingWrite(ssl.get(), request.data(), request.size(), 1, 0, 10));
  std::string answer;
  char buf[512];
  while (answer.find("\r\n\r\n") == std::string::npos) {
    int n = SslBlocking(ssl.get(), [&] { return SSL_read(ssl.get(), buf, sizeof buf); });
    ASSERT_GT(n, 0);
    answer.append(buf, static_cast<size_t>(n));
  }
  EXPECT_NE(std::string::npos, answer.find("X-Target-Status: 2\r\n")) << answer;
  EXPECT_EQ(0, echo.connections());
}

TEST(TunnelChannelTest, StatusHeaderInAnyLetterCaseIsAccepted) {
  TempDir dir;
  ScriptedRelay fake(dir, "HTTP/1.1 101 Switching Protocols\r\nx-target-status: 0\r\n\r\n");
  TunnelChannel ch(RelayAt(fake.port()));
  ASSERT_EQ(0, ch.Open("127.0.0.1", 4430));
  ExpectEcho(ch, "through the scripted relay");

  // The request as the relay saw it.
  std::string req = fake.request();
  std::string head = "GET /velt-tunnel HTTP/1.1\r\nHost: tidewell-relay\r\nUpgrade: VeltronaTunnel\r\n"
                     "X-Target-Host: 127.0.0.1\r\nX-Target-Port: 4430\r\nX-AuthToken: ";
  ASSERT_EQ(0u, req.find(head)) << req;
  std::string token = req.substr(head.size(), req.size() - head.size() - 4);
  std::string plain;
  ASSERT_TRUE(ReadTunnelToken(token, plain));
  EXPECT_EQ("127.0.0.1:4430", plain);
  EXPECT_EQ(req.size() - 4, req.find("\r\n\r\n"));
}

TEST(TunnelChannelTest, NonZeroStatusFailsOpen) {
  TempDir dir;
  ScriptedRelay fake(dir, "HTTP/1.1 502 Bad Gateway\r\nX-TARGET-STATUS: 5\r\n\r\n");
  TunnelChannel ch(RelayAt(fake.port()));
  EXPECT_EQ(ERR_IO, ch.Open("127.0.0.1", 4430));
  EXPECT_TRUE(ch.IsClosed());
}

TEST(TunnelChannelTest, AnswerWithoutStatusGivesMinusOne) {
  TempDir dir;
  ScriptedRelay fake(dir, "HTTP/1.1 200 OK\r\nServer: something else\r\n\r\n");
  Channel plain;
  ASSERT_EQ(0, plain.Open("127.0.0.1", fake.port()));
  SslPtr ssl = NewSslSession(false, plain.GetFd());
  ASSERT_EQ(0, SslHandshake(ssl.get(), timeval{1, 0}, 10, nullptr));
  EXPECT_EQ(-1, VELTTunnelClientHandshake(ssl.get(), "127.0.0.1", 4430, 1, 0, 10));
}

TEST(TunnelChannelTest, OpenFailsWhenTheAnswerHasNoStatus) {
  TempDir dir;
  ScriptedRelay fake(dir, "HTTP/1.1 200 OK\r\n\r\n");
  TunnelChannel ch(RelayAt(fake.port()));
  EXPECT_EQ(ERR_IO, ch.Open("127.0.0.1", 4430));
  EXPECT_TRUE(ch.IsClosed());
}

TEST(TunnelChannelTest, SilentRelayTimesOutAndAbortIsHonoured) {
  TempDir dir;
  ScriptedRelay fake(dir, "", /*silent=*/true);
  Channel plain;
  ASSERT_EQ(0, plain.Open("127.0.0.1", fake.port()));
  SslPtr ssl = NewSslSession(false, plain.GetFd());
  ASSERT_EQ(0, SslHandshake(ssl.get(), timeval{1, 0}, 10, nullptr));
  // Steps of 20 ms, each counted as a second: the count starts at 1 and
  // reaches 3 after two empty polls.
  EXPECT_EQ(kTunnelTimedOut, SSL_read_timeout(ssl.get(), 0, 20000, 3));
  std::atomic<int> abort{1};
  EXPECT_EQ(kTunnelAborted, SSL_read_timeout(ssl.get(), 0, 20000, 0, &abort));
  // The handshake gives the status so far: none.
  EXPECT_EQ(-1, VELTTunnelClientHandshake(ssl.get(), "127.0.0.1", 4430, 0, 20000, 3));
  plain.Close();
}

TEST(TunnelChannelTest, ManyConcurrentTunnels) {
  TempDir dir;
  EchoServer echo;
  TestRelay relay(dir);
  constexpr int kClients = 12;
  std::vector<std::thread> clients;
  std::atomic<int> ok{0};
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      TunnelChannel ch(RelayAt(relay.port()));
      if (ch.Open("127.0.0.1", echo.port()) != 0) return;
      std::string data = testing::RandomBytes(i, 20000 + static_cast<size_t>(i));
      std::string back(data.size(), '\0');
      if (ch.Write(data.data(), data.size()) == 0 && ch.FlushWrite(0) == 0 && ch.Read(back.data(), back.size()) == 0 &&
          back == data) {
        ok.fetch_add(1);
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(kClients, ok.load());
  EXPECT_EQ(static_cast<uint64_t>(kClients), relay.server().tunnels_opened());
  EXPECT_TRUE(relay.server().WaitUntilIdle(10));
}

TEST(TunnelChannelTest, StoppingTheRelayEndsOpenTunnels) {
  TempDir dir;
  EchoServer echo;
  TestRelay relay(dir);
  TunnelChannel ch(RelayAt(relay.port()));
  ASSERT_EQ(0, ch.Open("127.0.0.1", echo.port()));
  ExpectEcho(ch, "before");
  relay.server().Stop();
  EXPECT_EQ(0u, relay.server().active_tunnels());
  uint8_t b;
  EXPECT_EQ(ERR_IO, ch.ReadByte(b));  // the relay closed its side
}

TEST(TunnelChannelTest, RelaySurvivesClientsThatSpeakNoSsl) {
  TempDir dir;
  EchoServer echo;
  TestRelay relay(dir);
  Channel garbage;
  ASSERT_EQ(0, garbage.Open("127.0.0.1", relay.port()));
  ASSERT_EQ(0, garbage.Write("GET / HTTP/1.0\r\n\r\n", 18));
  ASSERT_EQ(0, garbage.FlushWrite(0));
  // The relay may send an SSL alert, then it hangs up.
  uint8_t b;
  int rc = 0;
  for (int i = 0; i < 100 && rc == 0; ++i) rc = garbage.ReadByte(b);
  EXPECT_EQ(ERR_IO, rc);
  TunnelChannel ch(RelayAt(relay.port()));
  ASSERT_EQ(0, ch.Open("127.0.0.1", echo.port()));
  ExpectEcho(ch, "still serving");
}

}  // namespace
}  // namespace tidewell

namespace tidewell {
namespace {

TEST(RelayLimitsTest, TunnelLimitRefusesExtraConnectionsUntilOneEnds) {
  TempDir dir;
  EchoServer echo;
  RelayServer::Options options;
  options.max_tunnels = 1;
  options.allowed_targets = {"127.0.0.1:*"};
  TestRelay relay(dir, options);
  auto first = std::make_unique<TunnelChannel>(RelayAt(relay.port()));
  ASSERT_EQ(0, first->Open("127.0.0.1", echo.port()));
  TunnelChannel second(RelayAt(relay.port()));
  EXPECT_EQ(ERR_IO, second.Open("127.0.0.1", echo.port()));
  first.reset();
  ASSERT_TRUE(relay.server().WaitUntilIdle(10));
  TunnelChannel third(RelayAt(relay.port()));
  ASSERT_EQ(0, third.Open("127.0.0.1", echo.port()));
  ExpectEcho(third, "room again");
}

TEST(RelayLimitsTest, StalledHandshakesAndIdleTunnelsAreDropped) {
  TempDir dir;
  EchoServer echo;
  RelayServer::Options options;
  options.handshake_seconds = 1;
  options.idle_seconds = 1;
  options.allowed_targets = {"127.0.0.1:*"};
  TestRelay relay(dir, options);

  // A client that connects and says nothing is cut off.
  Channel mute;
  ASSERT_EQ(0, mute.Open("127.0.0.1", relay.port()));
  uint8_t b;
  EXPECT_EQ(ERR_IO, mute.ReadByte(b));

  // A tunnel without traffic ends after the idle time.
  TunnelChannel quiet(RelayAt(relay.port()));
  ASSERT_EQ(0, quiet.Open("127.0.0.1", echo.port()));
  EXPECT_EQ(ERR_IO, quiet.ReadByte(b));
  EXPECT_TRUE(relay.server().WaitUntilIdle(10));
}

}  // namespace
}  // namespace tidewell
