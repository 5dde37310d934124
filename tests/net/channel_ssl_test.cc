#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <chrono>
#include <future>
#include <random>

#include "base/error_code.h"
#include "common/blocked_thread.h"
#include "common/random.h"
#include "common/temp_dir.h"
#include "net/channel.h"
#include "net/ssl_setup.h"
#include "net_test_util.h"

namespace tidewell {
namespace {

using testing::ConnectPair;

class ChannelSslTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, InitSslLibrary());
    testing::MakeSelfSignedCert(dir_.Join("server.crt"), dir_.Join("server.key"));
    SetCERTPath(dir_.Join("server.crt"));
    SetPriKeyPath(dir_.Join("server.key"));
    ConnectPair(client_, server_);
    client_.SetTimeout(10);
    server_.SetTimeout(10);
  }

  // Converts both ends at once; returns {client result, server result}.
  std::pair<int, int> ConvertBoth() {
    auto srv = std::async(std::launch::async, [&] { return server_.ConvertToSSLChannel(true); });
    int c = client_.ConvertToSSLChannel(false);
    return {c, srv.get()};
  }

  tidewell::testing::TempDir dir_;
  Channel client_;
  Channel server_;
};

TEST_F(ChannelSslTest, ConvertsBothSidesAndCarriesDataBothWays) {
  auto [c, s] = ConvertBoth();
  ASSERT_EQ(0, c);
  ASSERT_EQ(0, s);
  EXPECT_TRUE(client_.IsSSL());
  EXPECT_TRUE(server_.IsSSL());

  std::mt19937_64 rng(11);
  std::string up = testing::RandomBytes(rng, 300000);
  std::string down = testing::RandomBytes(rng, 200001);
  auto echo = std::async(std::launch::async, [&] {
    std::string got(up.size(), '\0');
    if (server_.Read(got.data(), got.size()) != 0) return std::string();
    for (size_t pos = 0; pos < down.size(); pos += 4096) {
      if (server_.Write(down.data() + pos, std::min<size_t>(4096, down.size() - pos)) != 0) return std::string();
    }
    if (server_.FlushWrite(0) != 0) return std::string();
    return got;
  });
  for (size_t pos = 0; pos < up.size(); pos += 70000) {
    ASSERT_EQ(0, client_.Write(up.data() + pos, std::min<size_t>(70000, up.size() - pos)));
  }
  ASSERT_EQ(0, client_.FlushWrite(0));
  std::string got(down.size(), '\0');
  ASSERT_EQ(0, client_.Read(got.data(), got.size()));
  EXPECT_TRUE(echo.get() == up);
  EXPECT_TRUE(got == down);

  // A second conversion changes nothing.
  int fd = client_.GetFd();
  EXPECT_EQ(0, client_.ConvertToSSLChannel(false));
  EXPECT_TRUE(client_.IsSSL());
  EXPECT_EQ(fd, client_.GetFd());
}

TEST_F(ChannelSslTest, PeerClosingMidReadGivesIoErrorAndCount) {
  ASSERT_EQ(std::make_pair(0, 0), ConvertBoth());
  ASSERT_EQ(0, server_.Write("abc", 3));
  ASSERT_EQ(0, server_.Close());
  char buf[10];
  size_t count = 0;
  EXPECT_EQ(ERR_IO, client_.Read(buf, sizeof buf, count));
  EXPECT_EQ(3u, count);
  EXPECT_FALSE(server_.IsSSL()) << "a closed channel returns to plain operations";
}

// The peer is gone: writing must fail with an error code, not kill the
// process with SIGPIPE.
TEST_F(ChannelSslTest, WritingToAVanishedPeerFailsWithoutSignal) {
  ASSERT_EQ(std::make_pair(0, 0), ConvertBoth());
  ASSERT_EQ(0, server_.Close());
  std::string block(client_.capacity(), 'v');
  int rc = 0;
  // The peer's reset arrives after a write or two; the deadline only keeps a
  // broken channel from looping for long.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (rc == 0 && std::chrono::steady_clock::now() < deadline) {
    rc = client_.Write(block.data(), block.size());
    if (rc == 0) rc = client_.FlushWrite(0);
  }
  EXPECT_LT(rc, 0);
  EXPECT_NE(ERR_TIMEOUT, rc);
}

TEST_F(ChannelSslTest, AbortFlagStopsABlockedSslRead) {
  ASSERT_EQ(std::make_pair(0, 0), ConvertBoth());
  std::atomic<int> abort_flag{0};
  client_.SetFlag(&abort_flag);
  client_.SetTimeout(0);
  std::promise<pid_t> started;
  auto reader = std::async(std::launch::async, [&] {
    started.set_value(testing::CurrentThreadId());
    char b;
    return client_.Read(&b, 1);
  });
  // Raised while the read sleeps in its wait, not before it starts.
  EXPECT_TRUE(testing::AwaitAsleep(started.get_future().get()));
  auto raised = std::chrono::steady_clock::now();
  abort_flag = 1;
  EXPECT_EQ(ERR_INT, reader.get());
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - raised).count(), 3.0);
}

TEST_F(ChannelSslTest, MissingServerCertificateLeavesChannelPlainAndUsable) {
  SetCERTPath(dir_.Join("absent.crt"));
  EXPECT_EQ(ERR_IO, server_.ConvertToSSLChannel(true));
  EXPECT_FALSE(server_.IsSSL());
  ASSERT_EQ(0, server_.Write("plain", 5));
  ASSERT_EQ(0, server_.FlushWrite(0));
  char buf[5];
  ASSERT_EQ(0, client_.Read(buf, 5));
  EXPECT_EQ("plain", std::string(buf, 5));
}

TEST_F(ChannelSslTest, HandshakeWithSilentPeerTimesOut) {
  client_.SetTimeout(1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ERR_IO, client_.ConvertToSSLChannel(false));
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);
  EXPECT_FALSE(client_.IsSSL());
  EXPECT_FALSE(client_.IsClosed());
}

// The client says something in plain text and starts its handshake at once;
// the server's read buffer takes both. The handshake bytes must still reach
// the server's session.
TEST_F(ChannelSslTest, HandshakeBytesAlreadyBufferedAreNotLost) {
  ASSERT_EQ(0, client_.Write("hello", 5));
  ASSERT_EQ(0, client_.FlushWrite(0));
  auto cli = std::async(std::launch::async, [&] { return client_.ConvertToSSLChannel(false); });
  // Wait until the client's first handshake message has arrived behind the
  // greeting, so that one read takes both.
  int available = 0;
  while (available <= 5) {
    pollfd p{server_.GetFd(), POLLIN, 0};
    poll(&p, 1, 100);
    ASSERT_EQ(0, ioctl(server_.GetFd(), FIONREAD, &available));
  }
  char hello[5];
  ASSERT_EQ(0, server_.Read(hello, 5));
  EXPECT_EQ("hello", std::string(hello, 5));
  EXPECT_EQ(0, server_.ConvertToSSLChannel(true));
  EXPECT_EQ(0, cli.get());
  ASSERT_EQ(0, client_.Write("secret", 6));
  ASSERT_EQ(0, client_.FlushWrite(0));
  char secret[6];
  ASSERT_EQ(0, server_.Read(secret, 6));
  EXPECT_EQ("secret", std::string(secret, 6));
}

}  // namespace
}  // namespace tidewell
