// Hostile input: broken headers and values, absurd sizes, bodies where none
// belong, paths that try to leave the view. Each gets an error reply or a
// closed connection, and the server goes on serving.

#include <gtest/gtest.h>

#include <string>

#include "base/error_code.h"
#include "net/memory_channel.h"
#include "net/protocol.h"
#include "server/server_test_util.h"

namespace tidewell::testing {
namespace {

class ServerHostileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Start()); }

  // Sends `bytes` on a fresh (optionally connected) connection and reports
  // what came back: the reply's error code, or UINT64_MAX when the server
  // closed the connection without a reply.
  uint64_t Send(const std::string& bytes, bool connected) {
    TestClient c(server_.port(), AccountOf(server_));
    if (connected) {
      EXPECT_EQ(0, c.Connect());
    } else {
      EXPECT_EQ(0, c.channel().Open("127.0.0.1", server_.port()));
    }
    // A refused body may close the connection while it is still being
    // written; the answer is read either way.
    int wrc = c.channel().Write(bytes.data(), std::min<size_t>(bytes.size(), c.channel().capacity()));
    if (wrc == 0) (void)c.channel().FlushWrite(0);
    PStream ps;
    ps.SetDefaultRecvLocation(ustring(c.scratch()));
    PObject reply;
    c.channel().SetTimeout(30);
    if (ps.Recv(c.channel(), reply) != 0) return UINT64_MAX;
    // After an answer to a broken request the connection must be closed.
    uint8_t extra;
    EXPECT_NE(0, c.channel().ReadByte(extra));
    return reply["error"]["code"].asUInt64();
  }

  static std::string Header(uint8_t command, uint16_t length = 0, uint32_t magic = kProtoMagic) {
    std::string h;
    for (int i = 3; i >= 0; --i) h += static_cast<char>((magic >> (8 * i)) & 0xFF);
    h += static_cast<char>(60);
    h += static_cast<char>(command);
    h += static_cast<char>(length >> 8);
    h += static_cast<char>(length & 0xFF);
    return h;
  }

  static std::string Encode(const PObject& value) {
    MemoryChannel ch;
    PStream ps;
    EXPECT_EQ(0, ps.Send(ch, value));
    return ch.output();
  }

  // The start of an upload request whose body announces `length` bytes.
  static std::string BodyPrefix(uint64_t length, const char* key = "file") {
    std::string s = "\x42";
    s += std::string("\x10\x00\x06", 3) + "action" + std::string("\x10\x00\x06", 3) + "upload";
    s += std::string("\x10\x00", 2) + static_cast<char>(strlen(key)) + key;
    s += "\x42" + std::string("\x10\x00\x04", 3) + "data" + "\x30";
    for (int i = 7; i >= 0; --i) s += static_cast<char>((length >> (8 * i)) & 0xFF);
    return s;
  }

  ServerProcess server_;
};

TEST_F(ServerHostileTest, BrokenFramesAndValuesCloseTheConnection) {
  const std::string good_pull = Encode(TestClient(server_.port(), AccountOf(server_)).Pull(0));
  std::string deep;
  for (int i = 0; i < 200; ++i) deep += "\x41";
  struct Case {
    const char* what;
    std::string bytes;
    bool connected;
    uint64_t expect;  // error code, or UINT64_MAX for a closed connection
  };
  const Case cases[] = {
      {"wrong magic", Header(kCmdPull, 0, 0x12345678) + good_pull, true, UINT64_MAX},
      {"payload length of the section forms", Header(kCmdPull, 12) + good_pull, true, UINT64_MAX},
      {"unknown tag", Header(kCmdPull) + std::string("\x42\x10\x00\x01x\x99", 6), true, UINT64_MAX},
      {"integer of 9 bytes", Header(kCmdPull) + std::string("\x42\x10\x00\x01x\x01\x09", 7), true, UINT64_MAX},
      {"nesting without end", Header(kCmdPull) + deep, true, UINT64_MAX},
      {"a body outside file.data", Header(kCmdUpload) + BodyPrefix(4, "mac_attribute") + "abcd", true, UINT64_MAX},
      {"a body before connect is refused", Header(kCmdUpload) + BodyPrefix(4) + "abcd\x40\x40", false, 0x1002},
      {"a body of 2^63 bytes", Header(kCmdUpload) + BodyPrefix(uint64_t{1} << 63), false, 0x1002},
      {"a body larger than the disk", Header(kCmdUpload) + BodyPrefix(uint64_t{1} << 62), true, 0x4002},
      {"a connect that is not a map", Header(kCmdConnect) + Encode(PObject("connect")), false, 0x1002},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expect, Send(c.bytes, c.connected)) << c.what;
  }
  // Nothing landed outside the temporary folder, and the server serves on.
  TestClient good(server_.port(), AccountOf(server_));
  ASSERT_EQ(0, good.Connect());
  ASSERT_EQ(0u, good.Put("/after", "still here", 0));
  std::string out = server_.Log();
  EXPECT_EQ(std::string::npos, out.find("AddressSanitizer")) << out;
}

TEST_F(ServerHostileTest, PathsThatLeaveTheViewNameNothing) {
  TestClient c(server_.port(), AccountOf(server_));
  ASSERT_EQ(0, c.Connect());
  const std::string escape = server_.data_dir() + "/../escaped";
  const char* paths[] = {"/../escaped", "/a/../../escaped", "/./x", "/a\\/..", "/\xff\xfe", "/a/./b"};
  for (const char* p : paths) {
    EXPECT_EQ(0x9002u, c.Put(p, "x", 0)) << p;
    PObject reply;
    EXPECT_EQ(0x8001u, c.Get(p, 0, reply)) << p;
    EXPECT_EQ(0xA001u, c.CallCode(kCmdRemove, c.Remove(p, 1, 1), reply)) << p;
    EXPECT_EQ(0x3003u, c.CallCode(kCmdPull, c.Pull(0, p), reply)) << p;
  }
  // NUL inside a name.
  EXPECT_EQ(0x9002u, c.Put(std::string("/a\0b", 4), "x", 0));
  EXPECT_NE(0, access(escape.c_str(), F_OK));
  EXPECT_EQ(0u, c.PullAll(0).size());
}

}  // namespace
}  // namespace tidewell::testing
