#include "net/protocol_request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "base/error_code.h"
#include "common/temp_dir.h"
#include "net/memory_channel.h"
#include "net/protocol.h"
#include "net/pstream.h"
#include "net_test_util.h"

namespace tidewell {
namespace {

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s.push_back(static_cast<char>(v));
  return s;
}

std::string Encode(const PObject& obj) {
  MemoryChannel ch;
  PStream ps;
  EXPECT_EQ(0, ps.Send(ch, obj));
  return ch.output();
}

PObject KeepAlive() {
  PObject k;
  k["type"] = "keep_alive";
  return k;
}

const std::string kHeader22 = Bytes({0x25, 0x52, 0x18, 0x14, 60, 22, 0, 0});

TEST(ProtocolRequestTest, ExchangeSkipsKeepAlivesAndRestoresTimeout) {
  PObject answer;
  answer["alive"] = 30;
  MemoryChannel ch(Encode(KeepAlive()) + Encode(KeepAlive()) + Encode(answer));
  ch.SetTimeout(60);
  PStream ps;
  PObject req;
  req["_action"] = "connect";
  PObject reply;
  ExchangeStep step = ExchangeStep::kReply;
  ASSERT_EQ(0, ProtoExchange(ch, ps, SCMD_REQUEST_CONNECT, req, reply, 90, &step));
  EXPECT_EQ(ExchangeStep::kNone, step);
  EXPECT_EQ(answer, reply) << "no trace of the keep-alive objects";
  EXPECT_EQ(60u, ch.GetTimeout());

  std::string sent = ch.output();
  EXPECT_EQ(Bytes({0x25, 0x52, 0x18, 0x14, 60, 14, 0, 0}), sent.substr(0, 8));
  PObject back;
  MemoryChannel in(sent.substr(8));
  ASSERT_EQ(0, ps.Recv(in, back));
  EXPECT_EQ("connect", back["action"].asString());
}

TEST(ProtocolRequestTest, ExchangeReportsTheFailingStep) {
  PStream ps;
  PObject req, reply;
  ExchangeStep step;
  MemoryChannel silent(Encode(KeepAlive()));  // then the peer is gone
  EXPECT_EQ(kStreamChannel, ProtoExchange(silent, ps, SCMD_EVT_PULL, req, reply, 0, &step));
  EXPECT_EQ(ExchangeStep::kReply, step);

  MemoryChannel closed;
  closed.Close();
  EXPECT_EQ(ERR_IO, ProtoExchange(closed, ps, SCMD_EVT_PULL, req, reply, 0, &step));
  EXPECT_EQ(ExchangeStep::kHeader, step);

  PObject huge;
  huge["x"] = ustring(std::string(70000, 'x'));
  MemoryChannel ch;
  EXPECT_EQ(kStreamInput, ProtoExchange(ch, ps, SCMD_EVT_PULL, huge, reply, 0, &step));
  EXPECT_EQ(ExchangeStep::kRequest, step);
}

TEST(ProtocolRequestTest, ExchangeReceivesBinaryIntoThePreparedFile) {
  tidewell::testing::TempDir dir;
  dir.WriteFile("part", "01234");
  dir.WriteFile("src", "56789");
  PObject::binary_type src;
  src.path = ustring(dir.Join("src"));
  src.length = 5;
  PObject server_reply;
  server_reply["file"]["data"] = src;
  MemoryChannel ch(Encode(KeepAlive()) + Encode(server_reply));

  PObject reply;
  PObject::binary_type& part = reply["file"]["data"].asBinary();
  part.path = ustring(dir.Join("part"));
  part.offset = 5;
  part.length = 5;
  PStream ps;
  ASSERT_EQ(0, ProtoExchange(ch, ps, 24, PObject(), reply, 0));
  EXPECT_EQ("0123456789", dir.ReadFile("part"));
  EXPECT_EQ(10u, reply["file"]["data"].asBinary().length);
}

// Names of the files in `dir`.
std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Wire bytes of a string value, of a binary of `body`, of a map key.
std::string WireString(const std::string& s) {
  return Bytes({0x10, static_cast<int>(s.size() >> 8), static_cast<int>(s.size() & 0xFF)}) + s;
}
std::string WireBinary(const std::string& body) {
  std::string w = Bytes({0x30, 0, 0, 0, 0, 0, 0, 0, static_cast<int>(body.size())});
  return w + body;
}

TEST(ProtocolRequestTest, ReceivedFilesThatNoReplyKeepsAreDeleted) {
  tidewell::testing::TempDir dir;
  const std::string recv = dir.Join("work");
  std::filesystem::create_directories(recv);
  PStream ps;
  ps.SetDefaultRecvLocation(ustring(recv));

  // A keep-alive that carries a binary, then the reply with one.
  std::string keep_alive = Bytes({0x42}) + WireString("type") + WireString("keep_alive") +
                           WireString("junk") + WireBinary("keep-alive bytes") + Bytes({0x40});
  std::string reply_wire = Bytes({0x42}) + WireString("file") + Bytes({0x42}) + WireString("data") +
                           WireBinary("the body") + Bytes({0x40, 0x40});
  {
    MemoryChannel ch(keep_alive + reply_wire);
    PObject reply;
    ASSERT_EQ(0, ProtoExchange(ch, ps, 24, PObject(), reply, 0));
    std::string body(reply["file"]["data"].asBinary().path.utf8_view());
    EXPECT_EQ(std::vector<std::string>{body}, FilesIn(recv)) << "only the reply's file is left";
    std::filesystem::remove(body);
  }

  // A key given twice: the binary its first value made is replaced.
  {
    std::string twice = Bytes({0x42}) + WireString("data") + WireBinary("first") + WireString("data") +
                        Bytes({0x01, 1, 7}) + Bytes({0x40});
    MemoryChannel ch(twice);
    PObject got;
    ASSERT_EQ(0, ps.Recv(ch, got));
    EXPECT_EQ(7u, got["data"].asInteger());
    EXPECT_TRUE(FilesIn(recv).empty());
  }

  // A reply broken off: the partly received body stays for a resumed
  // download, another binary received before it does not.
  {
    std::string broken = Bytes({0x42}) + WireString("extra") + WireBinary("extra bytes") + WireString("file") +
                         Bytes({0x42}) + WireString("data") + Bytes({0x30, 0, 0, 0, 0, 0, 0, 0, 100}) + "partial";
    MemoryChannel ch(broken);
    PObject reply;
    EXPECT_GT(0, ProtoExchange(ch, ps, 24, PObject(), reply, 0));
    const PObject::binary_type& part = reply["file"]["data"].asBinary();
    EXPECT_EQ(7u, part.length);
    EXPECT_EQ(std::vector<std::string>{std::string(part.path.utf8_view())}, FilesIn(recv));
    EXPECT_TRUE(reply["extra"].asBinary().empty()) << "the reply must not name a deleted file";
    std::filesystem::remove(std::string(part.path.utf8_view()));
  }

  // More binaries than the limit: refused, and nothing is left behind.
  {
    std::string many = Bytes({0x41});
    for (size_t i = 0; i <= PStream::kDefaultBinaryLimit; ++i) many += WireBinary("x");
    many += Bytes({0x40});
    MemoryChannel ch(many);
    PObject reply;
    EXPECT_EQ(kStreamMalformed, ProtoExchange(ch, ps, 24, PObject(), reply, 0));
    EXPECT_TRUE(FilesIn(recv).empty());
  }
}

TEST(ProtocolRequestTest, KeepAliveControlBytes) {
  MemoryChannel ch;
  ASSERT_EQ(0, ProtoWriteKeepAliveControl(ch, 300));
  EXPECT_EQ(Bytes({0x25, 0x52, 0x18, 0x14, 60, 2, 0, 0, 42, 0, 0, 0, 0, 43, 0, 0, 0, 1, 30, 0, 0, 0x01, 0x2C}),
            ch.output()) << "flushed by the call";
}

TEST(ProtocolRequestTest, SslRequestSectionForms) {
  MemoryChannel plain;
  ASSERT_EQ(0, ProtoWriteSSLServiceRequest(plain));
  EXPECT_EQ(Bytes({0x25, 0x52, 0x18, 0x14, 60, 20, 0, 0}), plain.output());

  SSLServiceReq req;
  req.proto_ver = ProtocolVersion{2, 1, 0};
  req.ssl_option = 3;
  MemoryChannel ch(kHeader22 + Bytes({1, 0, 46, 0, 0, 1, 0}));
  SSLServiceResponse resp;
  ASSERT_EQ(0, ProtoWriteSSLServiceRequest2OLD(ch, req, &resp));
  EXPECT_EQ(kHeader22 + Bytes({41, 0, 5, '2', '.', '1', '.', '0', 45, 0, 0, 0, 3}), ch.output());
  EXPECT_EQ(0, resp.response_code);
  EXPECT_EQ(256u, resp.misc_response);

  MemoryChannel refused(kHeader22 + Bytes({1, 10}));
  ASSERT_EQ(0, ProtoWriteSSLServiceRequest2OLD(refused, req, &resp));
  EXPECT_EQ(10, resp.response_code);
  EXPECT_EQ(0u, resp.misc_response) << "no option follows code 10";

  MemoryChannel wrong(Bytes({0x25, 0x52, 0x18, 0x14, 60, 12, 0, 0, 1, 0}));
  EXPECT_EQ(ERR_PROTO, ProtoWriteSSLServiceRequest2OLD(wrong, req, &resp));
}

TEST(ProtocolRequestTest, SslRequestValueForm) {
  SSLServiceReq req;
  req.proto_ver = ProtocolVersion{6, 0, 1};
  req.ssl_option = 1;

  MemoryChannel ok(Encode(KeepAlive()) + Encode(PObject(PObject::map_type{})));
  ASSERT_EQ(0, ProtoWriteSSLServiceRequest2(ok, req));
  std::string sent = ok.output();
  EXPECT_EQ(kHeader22, sent.substr(0, 8));
  PObject got;
  MemoryChannel in(sent.substr(8));
  PStream ps;
  ASSERT_EQ(0, ps.Recv(in, got));
  EXPECT_EQ("encrypt_channel", got["action"].asString());
  EXPECT_EQ(6u, got["proto_ver"]["major"].asInteger());
  EXPECT_EQ(1u, got["proto_ver"]["build"].asInteger());
  EXPECT_EQ(1u, got["ssl_option"].asInteger());
  EXPECT_EQ("Windows", got["agent"]["platform"].asString());
  EXPECT_EQ(2572u, got["agent"]["version"]["build"].asInteger());

  auto with_code = [&](uint64_t code) {
    PObject reply;
    reply["error"]["code"] = code;
    MemoryChannel ch(Encode(reply));
    return ProtoWriteSSLServiceRequest2(ch, req);
  };
  EXPECT_EQ(ERR_SERVER, with_code(2));
  EXPECT_EQ(ERR_VERSION, with_code(10));
  EXPECT_EQ(ERR_SYS, with_code(5));
  EXPECT_EQ(ERR_SYS, with_code(0x4001));
  MemoryChannel gone;
  EXPECT_EQ(ERR_IO, ProtoWriteSSLServiceRequest2(gone, req));
}

TEST(ProtocolRequestTest, ConnectAndDisconnect) {
  Channel ch;
  {
    testing::LoopbackListener listener;
    ASSERT_EQ(0, ProtoConnect(ch, "127.0.0.1", listener.port()));
    EXPECT_FALSE(ch.IsClosed());
    EXPECT_EQ(0, ProtoDisconnect(ch));
    EXPECT_TRUE(ch.IsClosed());
  }
  int port;
  {
    testing::LoopbackListener gone;
    port = gone.port();
  }
  EXPECT_EQ(-1, ProtoConnect(ch, "127.0.0.1", port));
  EXPECT_EQ(-1, ProtoConnect(ch, nullptr, port));
}

}  // namespace
}  // namespace tidewell
