#include "net/channel.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <random>
#include <thread>

#include "base/error_code.h"
#include "common/blocked_thread.h"
#include "common/random.h"
#include "net/memory_channel.h"
#include "net_test_util.h"

namespace tidewell {
namespace {

using testing::ConnectPair;
using testing::LoopbackListener;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(ChannelTest, IntegersAreBigEndian) {
  MemoryChannel in(std::string("\x00\x00\x01\x02\xAB\x01\x02\xFF", 8));
  uint32_t v32 = 0;
  ASSERT_EQ(0, in.ReadInt32(v32));
  EXPECT_EQ(258u, v32);
  uint8_t v8 = 0;
  ASSERT_EQ(0, in.ReadByte(v8));
  EXPECT_EQ(0xABu, v8);
  uint16_t v16 = 0;
  ASSERT_EQ(0, in.ReadInt16(v16));
  EXPECT_EQ(0x0102u, v16);
  uint64_t v64 = 77;
  EXPECT_EQ(ERR_IO, in.ReadInt64(v64));  // one byte left, then the end
  EXPECT_EQ(77u, v64) << "a failed read must leave the value alone";

  MemoryChannel out;
  ASSERT_EQ(0, out.WriteInt64(1));
  ASSERT_EQ(0, out.WriteInt32(0x01020304));
  ASSERT_EQ(0, out.WriteInt16(0xBEEF));
  ASSERT_EQ(0, out.FlushWrite(0));
  EXPECT_EQ(std::string("\0\0\0\0\0\0\0\x01\x01\x02\x03\x04\xBE\xEF", 14), out.output());
  EXPECT_EQ(0x0807060504030201ull, Channel::Convert(uint64_t{0x0102030405060708ull}));
}

TEST(ChannelTest, WriteOfExactlyCapacityIsBufferedAndOneMoreIsRefused) {
  MemoryChannel ch({}, SIZE_MAX, 64);
  std::string block(64, 'x');
  ASSERT_EQ(0, ch.Write(block.data(), block.size()));
  EXPECT_EQ("", ch.output()) << "nothing may be sent before the buffer is full";
  std::string big(65, 'y');
  EXPECT_EQ(ERR_INVAL, ch.Write(big.data(), big.size()));
  ASSERT_EQ(0, ch.Write("z", 1));  // flushes at least one byte to make room
  EXPECT_GE(ch.output().size(), 1u);
  ASSERT_EQ(0, ch.FlushWrite(0));
  EXPECT_EQ(block + "z", ch.output());
}

// Random block sizes through small ring buffers that wrap constantly,
// against the trivially correct model: the same bytes in the same order.
TEST(ChannelTest, RingBuffersKeepOrderAcrossWrapsRandomised) {
  std::mt19937_64 rng(testing::TestSeed());
  for (int round = 0; round < 50; ++round) {
    size_t capacity = 1 + rng() % 40;
    size_t chunk = 1 + rng() % 17;
    std::string data = testing::RandomBytes(rng, rng() % 3000);

    MemoryChannel reader(data, chunk, capacity);
    std::string got;
    while (got.size() < data.size()) {
      size_t n = std::min<size_t>(1 + rng() % (2 * capacity + 5), data.size() - got.size());
      std::string piece(n, '\0');
      ASSERT_EQ(0, reader.Read(piece.data(), n));
      got += piece;
    }
    ASSERT_EQ(data, got) << "round " << round;
    char extra;
    size_t count = 9;
    EXPECT_EQ(ERR_IO, reader.Read(&extra, 1, count));
    EXPECT_EQ(0u, count);

    MemoryChannel writer({}, chunk, capacity);
    for (size_t pos = 0; pos < data.size();) {
      size_t n = std::min<size_t>(1 + rng() % capacity, data.size() - pos);
      ASSERT_EQ(0, writer.Write(data.data() + pos, n));
      pos += n;
      if (rng() % 7 == 0) {
        ASSERT_EQ(0, writer.FlushWrite(rng() % 3));
      }
    }
    ASSERT_EQ(0, writer.FlushWrite(0));
    ASSERT_EQ(data, writer.output()) << "round " << round;
  }
}

TEST(ChannelTest, OpenRefusesBadArgumentsAndDoubleOpen) {
  Channel ch;
  EXPECT_TRUE(ch.IsClosed());
  EXPECT_EQ(ERR_INVAL, ch.Open(nullptr, 80));
  EXPECT_EQ(ERR_INVAL, ch.Open("127.0.0.1", -1));
  EXPECT_EQ(ERR_INVAL, ch.Open("not-an-address", 80));
  EXPECT_EQ(ERR_INVAL, ch.Open(-1, true));
  char b;
  EXPECT_EQ(ERR_IO, ch.Read(&b, 1));
  EXPECT_EQ(ERR_IO, ch.Write(&b, 1));

  Channel client, server;
  ConnectPair(client, server);
  int spare = ::socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(ERR_INVAL, server.Open(spare, true));
  ::close(spare);
  std::string address;
  int port;
  EXPECT_EQ(ERR_SYS, client.GetPeerInfo(address, port));
}

TEST(ChannelTest, RefusedConnectIsAFailure) {
  int port;
  {
    LoopbackListener gone;
    port = gone.port();
  }  // nothing listens there any more
  Channel ch;
  EXPECT_EQ(ERR_IO, ch.Open("127.0.0.1", port));
  EXPECT_TRUE(ch.IsClosed());
}

TEST(ChannelTest, DataFlowsBothWaysAndCloseFlushes) {
  Channel client, server;
  ConnectPair(client, server);
  std::mt19937_64 rng(7);
  std::string data = testing::RandomBytes(rng, 1 << 20);
  auto sender = std::async(std::launch::async, [&] {
    for (size_t pos = 0; pos < data.size(); pos += 1000) {
      if (client.Write(data.data() + pos, std::min<size_t>(1000, data.size() - pos)) != 0) return -1;
    }
    return client.Close();  // must flush what is still buffered
  });
  std::string got(data.size(), '\0');
  ASSERT_EQ(0, server.Read(got.data(), got.size()));
  EXPECT_EQ(0, sender.get());
  EXPECT_TRUE(got == data);
  char b;
  EXPECT_EQ(ERR_IO, server.Read(&b, 1));
}

TEST(ChannelTest, PeerClosingMidReadReportsWhatArrived) {
  Channel client, server;
  ConnectPair(client, server);
  std::string hundred(100, 'h');
  ASSERT_EQ(0, server.Write(hundred.data(), hundred.size()));
  ASSERT_EQ(0, server.Close());
  char buf[200];
  size_t count = 0;
  EXPECT_EQ(ERR_IO, client.Read(buf, sizeof buf, count));
  EXPECT_EQ(100u, count);
  EXPECT_EQ(hundred, std::string(buf, count));
}

TEST(ChannelTest, AbortFlagStopsABlockedReadWithinAboutASecond) {
  Channel client, server;
  ConnectPair(client, server);
  client.SetTimeout(0);  // would wait forever
  std::atomic<int> abort_flag{0};
  client.SetFlag(&abort_flag);
  std::promise<pid_t> started;
  auto reader = std::async(std::launch::async, [&] {
    started.set_value(testing::CurrentThreadId());
    char b;
    return client.Read(&b, 1);
  });
  // Raised while the read sleeps in its wait, not before it starts.
  EXPECT_TRUE(testing::AwaitAsleep(started.get_future().get()));
  auto raised = Clock::now();
  abort_flag = 1;
  ASSERT_EQ(ERR_INT, reader.get());
  EXPECT_LT(SecondsSince(raised), 3.0);
}

TEST(ChannelTest, SilentPeerTimesOutRead) {
  Channel client, server;
  ConnectPair(client, server);
  client.SetTimeout(1);
  auto start = Clock::now();
  char b;
  EXPECT_EQ(ERR_TIMEOUT, client.Read(&b, 1));
  double waited = SecondsSince(start);
  EXPECT_GE(waited, 0.9);
  EXPECT_LT(waited, 5.0);
}

TEST(ChannelTest, PeerThatDoesNotReadTimesOutFlush) {
  Channel client, server;
  ConnectPair(client, server);
  int small = 4096;
  setsockopt(client.GetFd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(server.GetFd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  client.SetTimeout(1);
  std::string block(client.capacity(), 'w');
  int rc = 0;
  for (int i = 0; i < 1000 && rc == 0; ++i) rc = client.Write(block.data(), block.size());
  EXPECT_EQ(ERR_TIMEOUT, rc);
}

// A listener whose accept queue is full drops further connection attempts,
// which is what an unresponsive server looks like.
TEST(ChannelTest, ConnectToUnresponsivePeerTimesOut) {
  LoopbackListener listener(0);
  Channel filler;  // takes the one place in the queue
  ASSERT_EQ(0, filler.Open("127.0.0.1", listener.port()));
  Channel ch;
  ch.SetTimeout(3);  // three seconds per unanswered poll: gives up after one
  int fd = ch.CreateSock();
  ASSERT_EQ(0, ch.SetNonBlock(fd));
  auto start = Clock::now();
  EXPECT_EQ(ERR_TIMEOUT, ch.ConnectWithTimeout(fd, "127.0.0.1", listener.port()));
  EXPECT_LT(SecondsSince(start), 5.0);
  ::close(fd);
}

}  // namespace
}  // namespace tidewell
