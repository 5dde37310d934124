#include "relay/relay_forward.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <string>
#include <thread>

namespace tidewell {
namespace {

// Two connected socket pairs: the test holds one end of each, the
// forwarding loop the other.
struct Pairs {
  int client_test, client_relay, target_relay, target_test;
  Pairs() {
    int a[2], b[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, a));
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, b));
    client_test = a[0];
    client_relay = a[1];
    target_relay = b[0];
    target_test = b[1];
  }
  ~Pairs() {
    for (int fd : {client_test, client_relay, target_relay, target_test}) ::close(fd);
  }
};

std::string ReadToEnd(int fd) {
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

void SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    ASSERT_GT(n, 0);
    done += static_cast<size_t>(n);
  }
}

TEST(RelayForwardTest, PassesEndOfStreamOnAndEndsWhenBothSidesAreDone) {
  Pairs p;
  auto result = std::async(std::launch::async, [&] {
    return ForwardBoth(p.client_relay, p.target_relay, "early:", -1, 0);
  });
  // More than the loop's buffer in one direction, with the reader behind.
  std::string up(300000, 'u');
  std::thread writer([&] {
    SendAll(p.client_test, up);
    shutdown(p.client_test, SHUT_WR);  // the client is done sending
  });
  EXPECT_EQ("early:" + up, ReadToEnd(p.target_test));  // ends: the shutdown was passed on
  writer.join();
  // The other direction still works after the client's half-close.
  SendAll(p.target_test, "answer");
  shutdown(p.target_test, SHUT_WR);
  EXPECT_EQ("answer", ReadToEnd(p.client_test));
  ForwardResult r = result.get();
  EXPECT_EQ(ForwardEnd::kClosed, r.end);
  EXPECT_EQ(up.size() + 6, r.client_to_target);
  EXPECT_EQ(6u, r.target_to_client);
}

TEST(RelayForwardTest, StopDescriptorEndsTheLoop) {
  Pairs p;
  int stop = eventfd(0, EFD_CLOEXEC);
  auto result = std::async(std::launch::async, [&] { return ForwardBoth(p.client_relay, p.target_relay, "", stop, 0); });
  SendAll(p.client_test, "x");
  char c;
  ASSERT_EQ(1, recv(p.target_test, &c, 1, 0));  // forwarding runs
  uint64_t one = 1;
  ASSERT_EQ(8, write(stop, &one, sizeof one));
  EXPECT_EQ(ForwardEnd::kStopped, result.get().end);
  ::close(stop);
}

TEST(RelayForwardTest, IdleTimeEndsASilentTunnel) {
  Pairs p;
  ForwardResult r = ForwardBoth(p.client_relay, p.target_relay, "", -1, 1);
  EXPECT_EQ(ForwardEnd::kIdle, r.end);
}

TEST(RelayForwardTest, APeerThatVanishesEndsTheTunnel) {
  Pairs p;
  auto result = std::async(std::launch::async, [&] { return ForwardBoth(p.client_relay, p.target_relay, "", -1, 0); });
  ::close(p.target_test);  // gone without a word
  p.target_test = ::dup(p.client_test);  // keep the destructor's closes balanced
  SendAll(p.client_test, "into the void");
  ForwardResult r = result.get();
  EXPECT_TRUE(r.end == ForwardEnd::kError || r.end == ForwardEnd::kClosed) << ForwardEndText(r.end);
}

}  // namespace
}  // namespace tidewell
