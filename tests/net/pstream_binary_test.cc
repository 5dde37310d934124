#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <future>
#include <random>
#include <thread>

#include "common/temp_dir.h"
#include "net/memory_channel.h"
#include "net/pstream.h"
#include "net_test_util.h"

namespace tidewell {
namespace {

class PStreamBinaryTest : public ::testing::Test {
 protected:
  PObject::binary_type Region(const std::string& name, uint64_t offset, uint64_t length) {
    PObject::binary_type b;
    b.path = ustring(dir_.Join(name));
    b.offset = offset;
    b.length = length;
    return b;
  }

  // The bytes a sender puts on the wire for `value`.
  std::string SendWire(const PObject& value) {
    MemoryChannel ch;
    PStream ps;
    EXPECT_EQ(0, ps.Send(ch, value));
    return ch.output();
  }

  int Receive(const std::string& wire, PObject& into, const std::string& recv_dir = "") {
    MemoryChannel ch(wire);
    PStream ps;
    ps.SetDefaultRecvLocation(ustring(recv_dir));
    return ps.Recv(ch, into);
  }

  tidewell::testing::TempDir dir_;
  std::mt19937_64 rng_{42};
};

TEST_F(PStreamBinaryTest, RegionRoundTripsAtBufferBoundaries) {
  const size_t kBuf = PStream::kBufferSize;
  for (size_t size : {size_t{0}, size_t{1}, kBuf - 1, kBuf, kBuf + 1, 3 * kBuf + 5}) {
    std::string content = testing::RandomBytes(rng_, size + 10);
    dir_.WriteFile("src", content);
    std::string wire = SendWire(PObject(Region("src", 10, size)));
    ASSERT_EQ(9 + size, wire.size());
    EXPECT_EQ(std::string("\x30", 1), wire.substr(0, 1));

    PObject got(Region("dst", 0, 0));
    ASSERT_EQ(0, Receive(wire, got)) << size;
    EXPECT_EQ(content.substr(10), dir_.ReadFile("dst")) << size;
    EXPECT_EQ(size, got.asBinary().offset);
    EXPECT_EQ(size, got.asBinary().length);
  }
}

TEST_F(PStreamBinaryTest, BinaryWithoutPathGoesToAFreshFileInTheReceiveLocation) {
  dir_.WriteFile("existing", "keep me");
  // A zero-length binary without path.
  std::string zero = std::string("\x42\x10\x00\x04" "data" "\x30", 9) + std::string(8, '\0') + "\x40";
  PObject got;
  ASSERT_EQ(0, Receive(zero, got, dir_.path()));
  const PObject::binary_type& b = got["data"].asBinary();
  ASSERT_FALSE(b.path.empty());
  std::string name(b.path.utf8_view());
  EXPECT_EQ(dir_.path() + "/", name.substr(0, dir_.path().size() + 1));
  EXPECT_EQ(dir_.path().size() + 9, name.size()) << "eight characters after the slash";
  struct stat st;
  ASSERT_EQ(0, stat(name.c_str(), &st));
  EXPECT_EQ(0, st.st_size);
  EXPECT_EQ("keep me", dir_.ReadFile("existing"));

  PObject again;
  ASSERT_EQ(0, Receive(zero, again, dir_.path()));
  EXPECT_NE(b.path, again["data"].asBinary().path) << "every binary gets its own file";

  PObject nowhere;
  EXPECT_EQ(kStreamLocal, Receive(zero, nowhere)) << "no receive location set";
}

TEST_F(PStreamBinaryTest, ResumedReceiveAppendsCutsOrTruncates) {
  std::string old_part = testing::RandomBytes(rng_, 1000);
  std::string fresh = testing::RandomBytes(rng_, 300);
  dir_.WriteFile("src", fresh);
  std::string wire = SendWire(PObject(Region("src", 0, 300)));

  dir_.WriteFile("append", old_part);
  PObject a(Region("append", 1000, 1000));
  ASSERT_EQ(0, Receive(wire, a));
  EXPECT_EQ(old_part + fresh, dir_.ReadFile("append"));
  EXPECT_EQ(1300u, a.asBinary().offset);
  EXPECT_EQ(1300u, a.asBinary().length);

  dir_.WriteFile("cut", old_part);
  PObject c(Region("cut", 500, 1000));
  ASSERT_EQ(0, Receive(wire, c));
  EXPECT_EQ(old_part.substr(0, 500) + fresh, dir_.ReadFile("cut"));
  EXPECT_EQ(800u, c.asBinary().length);

  dir_.WriteFile("truncate", old_part);
  PObject t(Region("truncate", 0, 1000));
  ASSERT_EQ(0, Receive(wire, t));
  EXPECT_EQ(fresh, dir_.ReadFile("truncate"));

  // A stale tail after the resume point must not stay in front of the new
  // bytes, even when offset and length agree.
  dir_.WriteFile("stale", old_part);
  PObject s(Region("stale", 600, 600));
  ASSERT_EQ(0, Receive(wire, s));
  EXPECT_EQ(old_part.substr(0, 600) + fresh, dir_.ReadFile("stale"));
}

TEST_F(PStreamBinaryTest, ResumeIntoAShorterOrMissingFileIsRefused) {
  dir_.WriteFile("src", "abc");
  std::string wire = SendWire(PObject(Region("src", 0, 3)));
  dir_.WriteFile("short", "12345");
  PObject s(Region("short", 10, 10));
  EXPECT_EQ(kStreamLocal, Receive(wire, s));
  EXPECT_EQ("12345", dir_.ReadFile("short"));
  PObject m(Region("missing", 10, 10));
  EXPECT_EQ(kStreamLocal, Receive(wire, m));
}

TEST_F(PStreamBinaryTest, SenderFileShorterThanLengthFailsAfterTheAvailableBytes) {
  dir_.WriteFile("src", "0123456789");
  MemoryChannel ch;
  PStream ps;
  EXPECT_EQ(kStreamMalformed, ps.SendObject(ch, PObject(Region("src", 4, 100))));
  ASSERT_EQ(0, ch.FlushWrite(0));
  std::string expect = std::string("\x30\0\0\0\0\0\0\0\x64", 9) + "456789";
  EXPECT_EQ(expect, ch.output());

  MemoryChannel none;
  EXPECT_EQ(kStreamLocal, ps.Send(none, PObject(Region("absent", 0, 5))));
  EXPECT_EQ("", none.output()) << "nothing goes out for a file that cannot be opened";
}

TEST_F(PStreamBinaryTest, FullDiskGivesDiskFull) {
  std::string wire = std::string("\x30\0\0\0\0\0\x10\0\0", 9) + std::string(1 << 20, 'f');
  PObject b;
  b.asBinary().path = "/dev/full";
  EXPECT_EQ(kStreamDiskFull, Receive(wire, b));
  EXPECT_EQ(0u, b.asBinary().length);
}

TEST_F(PStreamBinaryTest, InterruptedReceiveKeepsWhatArrivedAndResumes) {
  std::string content = testing::RandomBytes(rng_, 250000);
  dir_.WriteFile("src", content);
  std::string wire = SendWire(PObject(Region("src", 0, content.size())));

  PObject part(Region("dst", 0, 0));
  EXPECT_EQ(kStreamChannel, Receive(wire.substr(0, 9 + 123456), part)) << "peer gone mid-binary";
  EXPECT_EQ(123456u, part.asBinary().offset);
  EXPECT_EQ(123456u, part.asBinary().length);
  EXPECT_EQ(content.substr(0, 123456), dir_.ReadFile("dst"));

  // The sender continues from what the receiver holds.
  std::string rest = SendWire(PObject(Region("src", part.asBinary().offset, content.size() - 123456)));
  ASSERT_EQ(0, Receive(rest, part));
  EXPECT_TRUE(content == dir_.ReadFile("dst"));
  EXPECT_EQ(content.size(), part.asBinary().length);
}

TEST_F(PStreamBinaryTest, HugeAnnouncedLengthIsStreamedNotBuffered) {
  // 2^62 bytes announced, a few hundred kilobytes delivered: the receiver
  // stores what came and fails when the peer stops.
  std::string wire = std::string("\x30\x40\0\0\0\0\0\0\0", 9) + std::string(300000, 'z');
  PObject b(Region("huge", 0, 0));
  EXPECT_EQ(kStreamChannel, Receive(wire, b));
  EXPECT_EQ(300000u, b.asBinary().length);
}

// Another thread watches a transfer: the key path and the byte counts.
TEST_F(PStreamBinaryTest, StatusIsReadableFromAnotherThreadDuringTransfer) {
  Channel client, server;
  testing::ConnectPair(client, server);
  server.SetTimeout(20);
  PStream receiver;
  PObject reply;
  reply["file"]["data"] = Region("dst", 0, 0);
  auto done = std::async(std::launch::async, [&] { return receiver.Recv(server, reply); });

  const uint64_t total = 200000;
  std::string head = std::string("\x42\x10\x00\x04" "file" "\x42\x10\x00\x04" "data" "\x30", 17);
  for (int i = 7; i >= 0; --i) head.push_back(static_cast<char>((total >> (8 * i)) & 0xFF));
  std::string first(100000, 'a');
  ASSERT_EQ(0, client.Write(head.data(), head.size()));
  ASSERT_EQ(0, client.Write(first.data(), first.size() / 2));
  ASSERT_EQ(0, client.Write(first.data(), first.size() / 2));
  ASSERT_EQ(0, client.FlushWrite(0));

  ustring item;
  uint64_t sent = 0, size = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  do {
    receiver.GetStatus(item, sent, size);
    if (sent >= PStream::kBufferSize) break;
    std::this_thread::yield();
  } while (std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ("file.data", item);
  EXPECT_EQ(total, size);
  EXPECT_GE(sent, PStream::kBufferSize);
  EXPECT_LT(sent, total) << "the transfer cannot be over: half the bytes are unsent";

  std::string second(total - first.size(), 'b');
  ASSERT_EQ(0, client.Write(second.data(), second.size() / 2));
  ASSERT_EQ(0, client.Write(second.data(), second.size() / 2));
  ASSERT_EQ(0, client.Write("\x40\x40", 2));
  ASSERT_EQ(0, client.FlushWrite(0));
  ASSERT_EQ(0, done.get());
  EXPECT_EQ(first + second, dir_.ReadFile("dst"));
  EXPECT_EQ(total, reply["file"]["data"].asBinary().length);
  receiver.GetStatus(item, sent, size);
  EXPECT_EQ("", item);
}

}  // namespace
}  // namespace tidewell
