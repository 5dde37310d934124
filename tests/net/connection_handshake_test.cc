// The connection handshake against a small in-test server that answers the
// "encrypt_channel" and "connect" requests as configured, directly and
// through the relay service and tinyproxy.

#include "net/connection_handshake.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/error_code.h"
#include "base/log.h"
#include "conn_test_util.h"
#include "net/protocol.h"
#include "net/protocol_request.h"
#include "net/pstream.h"
#include "net/ssl_setup.h"

namespace tidewell {
namespace {

using testing::LoopbackListener;
using testing::TempDir;

struct Seen {
  uint8_t command;
  PObject request;
};

// Serves each connection on a thread of its own: header and request in, one
// reply out; switches to SSL after a granted "encrypt_channel" or "do_ssl".
class FakeServer {
 public:
  struct Script {
    uint32_t alive = 30;
    uint64_t connect_error = 0;  // non-zero: "connect" fails with this code
    bool encrypt_error = false;
    uint64_t build = 0;  // non-zero: reported as the server build
    bool keep_alive_first = false;
  };

  FakeServer(const TempDir& dir, Script script) : script_(script) {
    testing::WriteSelfSignedCert(dir.Join("server.crt"), dir.Join("server.key"));
    SetCERTPath(dir.Join("server.crt"));
    SetPriKeyPath(dir.Join("server.key"));
    thread_ = std::thread([this] {
      for (;;) {
        int fd = listener_.Accept();
        if (fd < 0) return;
        std::lock_guard<std::mutex> lock(mu_);
        fds_.push_back(fd);
        sessions_.emplace_back([this, fd] { Serve(fd); });
      }
    });
  }
  ~FakeServer() {
    listener_.Close();
    thread_.join();
    // Wake sessions blocked in a read; their channels then close.
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (int fd : fds_) shutdown(fd, SHUT_RDWR);
    }
    for (auto& t : sessions_) t.join();
    for (int fd : fds_) ::close(fd);
  }
  int port() const { return listener_.port(); }
  std::vector<Seen> seen() {
    std::lock_guard<std::mutex> lock(mu_);
    return seen_;
  }

 private:
  // `fd` stays the fixture's (it shuts it down at the end); the channel
  // works on a duplicate of it.
  void Serve(int fd) {
    Channel ch;
    if (ch.Open(dup(fd), true) != 0) return;
    ch.SetTimeout(0);
    PStream ps;
    for (;;) {
      uint16_t len;
      uint8_t cmd, version;
      if (ProtoReadHeader(ch, len, cmd, version) != 0) break;
      PObject req;
      if (ps.Recv(ch, req) != 0) break;
      {
        std::lock_guard<std::mutex> lock(mu_);
        seen_.push_back({cmd, req});
      }
      PObject reply;
      bool to_ssl = false;
      const ustring action = req["action"].asString();
      if (action == "encrypt_channel") {
        if (script_.encrypt_error) {
          reply["error"]["code"] = 2;
        } else {
          reply["ok"] = 1;
          to_ssl = true;
        }
      } else if (action == "connect") {
        if (script_.connect_error != 0) {
          reply["error"]["code"] = static_cast<unsigned long long>(script_.connect_error);
          reply["error"]["msg"] = "refused";
        } else {
          reply["alive"] = script_.alive;
          to_ssl = req["do_ssl"].asBool() && script_.alive != 0;
        }
        if (script_.build != 0) reply["server"]["package_version"]["build"] = static_cast<unsigned long long>(script_.build);
      } else {
        reply["echo"] = req["text"];
        reply["ssl"] = ch.IsSSL() ? 1 : 0;
      }
      if (script_.keep_alive_first) {
        PObject ka;
        ka["type"] = "keep_alive";
        if (ps.Send(ch, ka) != 0) break;
      }
      if (ps.Send(ch, reply) != 0) break;
      if (to_ssl && ch.ConvertToSSLChannel(true) != 0) break;
    }
  }

  LoopbackListener listener_;
  const Script script_;
  std::thread thread_;
  std::mutex mu_;
  std::vector<Seen> seen_;
  std::vector<int> fds_;
  std::vector<std::thread> sessions_;
};

ConnectionInfo InfoFor(int port, bool ssl) {
  ConnectionInfo info;
  info.server_ip = "127.0.0.1";
  info.server_port = port;
  info.session = "sess-token";
  info.computer_name = "desk-1";
  info.use_ssl = ssl;
  return info;
}

// Sends an "echo" request over an established connection.
PObject Echo(const ConnectionHandshake& hs, Connection& c, const char* text) {
  PObject req;
  req["_action"] = "echo";
  req["text"] = text;
  PObject reply;
  EXPECT_EQ(0, hs.RunProtocol(c.GetChannel(), SCMD_REQUEST, req, reply));
  return reply;
}

TEST(ConnectionHandshakeTest, PullerAsksForSslThenConnectsAndReusesAliveConnections) {
  TempDir dir;
  FakeServer server(dir, {.alive = 30, .build = 2610, .keep_alive_first = true});
  ConnectionPool pool(InfoFor(server.port(), true), ProxyInfo{}, TunnelInfo{}, 1);
  ConnectionHandshake hs(HandshakeTask::kEventPuller);
  g_server_version = 0;
  PooledConnection c(pool);
  ASSERT_EQ(0, hs.RequestChannel(pool, *c, 9));
  EXPECT_TRUE(c->IsAlive());
  EXPECT_EQ(30u, c->alive_value);
  EXPECT_EQ(Connection::CONNECTED, c->GetState());
  EXPECT_TRUE(c->GetChannel().IsSSL());
  EXPECT_EQ(2610u, g_server_version.load());

  std::vector<Seen> seen = server.seen();
  ASSERT_EQ(2u, seen.size());
  EXPECT_EQ(SCMD_REQUEST_SSL_2, seen[0].command);
  EXPECT_EQ(ustring("encrypt_channel"), seen[0].request["action"].asString());
  EXPECT_EQ(ustring("Windows"), seen[0].request["agent"]["platform"].asString());
  EXPECT_EQ(SCMD_REQUEST_CONNECT, seen[1].command);
  EXPECT_EQ(ustring("connect"), seen[1].request["action"].asString());
  EXPECT_EQ(ustring("sess-token"), seen[1].request["session"].asString());
  EXPECT_EQ(9u, seen[1].request["view_id"].asUInt64());
  EXPECT_EQ(2572u, seen[1].request["agent"]["version"]["build"].asUInt64());
  EXPECT_FALSE(seen[1].request.hasMember("do_ssl"));

  PObject reply = Echo(hs, *c, "over ssl");
  EXPECT_EQ(ustring("over ssl"), reply["echo"].asString());
  EXPECT_EQ(1u, reply["ssl"].asUInt64());
  // Alive: the next handshake sends nothing.
  ASSERT_EQ(0, hs.RequestChannel(pool, *c, 9));
  EXPECT_EQ(3u, server.seen().size());
}

TEST(ConnectionHandshakeTest, WorkerAsksForSslInsideConnect) {
  TempDir dir;
  FakeServer server(dir, {.alive = 20});
  ConnectionPool pool(InfoFor(server.port(), true), ProxyInfo{}, TunnelInfo{}, 1);
  ConnectionHandshake hs(HandshakeTask::kWorker, 3);
  g_server_version = 0;
  PooledConnection c(pool);
  ASSERT_EQ(0, hs.RequestChannel(pool, *c, 5));
  EXPECT_TRUE(c->GetChannel().IsSSL());
  EXPECT_EQ(2402u, g_server_version.load());  // no build reported
  std::vector<Seen> seen = server.seen();
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ(SCMD_REQUEST_CONNECT, seen[0].command);
  EXPECT_EQ(1u, seen[0].request["do_ssl"].asUInt64());
  EXPECT_EQ(ustring("worker over ssl"), Echo(hs, *c, "worker over ssl")["echo"].asString());
}

TEST(ConnectionHandshakeTest, ResumeTaskLeavesTheServerBuildAlone) {
  TempDir dir;
  FakeServer server(dir, {.alive = 20, .build = 3000});
  ConnectionPool pool(InfoFor(server.port(), false), ProxyInfo{}, TunnelInfo{}, 1);
  ConnectionHandshake hs(HandshakeTask::kResumePuller);
  g_server_version = 1;
  PooledConnection c(pool);
  ASSERT_EQ(0, hs.RequestChannel(pool, *c, 5));
  EXPECT_FALSE(c->GetChannel().IsSSL());
  EXPECT_EQ(1u, g_server_version.load());
  EXPECT_EQ(1u, server.seen().size());  // no SSL request without SSL
}

TEST(ConnectionHandshakeTest, ZeroAliveIsARefusal) {
  TempDir dir;
  FakeServer server(dir, {.alive = 0});
  ConnectionPool pool(InfoFor(server.port(), false), ProxyInfo{}, TunnelInfo{}, 1);
  for (HandshakeTask task : {HandshakeTask::kEventPuller, HandshakeTask::kWorker}) {
    ConnectionHandshake hs(task, 1);
    PooledConnection c(pool);
    EXPECT_EQ(ERR_IO, hs.RequestChannel(pool, *c, 5));
    EXPECT_EQ(Connection::DISCONNECTED, c->GetState());
    EXPECT_FALSE(c->IsAlive());
    EXPECT_FALSE(pool.isConnected());
  }
}

TEST(ConnectionHandshakeTest, ErrorRepliesAreMapped) {
  TempDir dir;
  struct Case {
    uint64_t code;
    int puller;
    int worker;
  };
  // A code that maps to 0 is still a refusal: ERR_SERVER, never success.
  for (Case k : {Case{0x4001, ERR_QUOTA, ERR_QUOTA}, Case{0x5003, ERR_VERSION, ERR_VERSION},
                 Case{0x3003, ERR_VIEW_PATH, ERR_VIEW_PATH}, Case{0x7123, ERR_SERVER, ERR_SERVER},
                 Case{0x8001, ERR_SERVER, ERR_INT}, Case{0x6001, ERR_SERVER, ERR_SERVER},
                 Case{0xB002, ERR_INT, ERR_INT}}) {
    FakeServer server(dir, {.connect_error = k.code});
    ConnectionPool pool(InfoFor(server.port(), false), ProxyInfo{}, TunnelInfo{}, 1);
    for (HandshakeTask task : {HandshakeTask::kEventPuller, HandshakeTask::kWorker}) {
      PooledConnection c(pool);
      // An earlier success must not make the refused connection look alive.
      c->Update(30);
      c->alive_value = 0;
      ASSERT_TRUE(pool.isConnected());
      int want = task == HandshakeTask::kWorker ? k.worker : k.puller;
      EXPECT_EQ(want, ConnectionHandshake(task, 2).RequestChannel(pool, *c, 1)) << std::hex << k.code;
      EXPECT_FALSE(c->IsAlive());
      EXPECT_EQ(Connection::DISCONNECTED, c->GetState()) << std::hex << k.code;
      EXPECT_TRUE(c->GetChannel().IsClosed());
      EXPECT_FALSE(pool.isConnected());
    }
  }
}

TEST(ConnectionHandshakeTest, ServerErrorTable) {
  ConnectionHandshake puller(HandshakeTask::kEventPuller);
  ConnectionHandshake resume(HandshakeTask::kResumePuller);
  ConnectionHandshake worker(HandshakeTask::kWorker, 1);
  struct Row {
    uint64_t code;
    int puller;
    int worker;
  };
  const Row rows[] = {
      {0x3002, ERR_PERMISS, ERR_PERMISS}, {0x3003, ERR_VIEW_PATH, ERR_VIEW_PATH}, {0x4001, ERR_QUOTA, ERR_QUOTA},
      {0x4002, ERR_DISKFULL, ERR_DISKFULL}, {0x7000, 0, 0}, {0x7FFF, 0, 0},
      {0x1001, ERR_AUTH, ERR_AUTH}, {0x2005, ERR_AUTH, ERR_AUTH}, {0x3001, ERR_VIEW, ERR_VIEW},
      {0x5000, ERR_VERSION, ERR_VERSION}, {0x0001, 0, 0}, {0x4003, 0, 0}, {0x6001, 0, 0},
      {0x8001, 0, ERR_INT}, {0x9000, 0, ERR_INT}, {0xA00F, 0, ERR_INT}, {0xB001, ERR_INT, ERR_INT},
      {0xBFFF, ERR_INT, ERR_INT}, {0xC000, 0, 0}, {0xF000, 0, 0},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(r.puller, puller.ProtoResp2ErrorCode(r.code)) << std::hex << r.code;
    EXPECT_EQ(r.puller, resume.ProtoResp2ErrorCode(r.code)) << std::hex << r.code;
    EXPECT_EQ(r.worker, worker.ProtoResp2ErrorCode(r.code)) << std::hex << r.code;
  }
}

TEST(ConnectionHandshakeTest, RefusedSslRequestAndUnreachableServer) {
  TempDir dir;
  FakeServer server(dir, {.encrypt_error = true});
  ConnectionPool pool(InfoFor(server.port(), true), ProxyInfo{}, TunnelInfo{}, 1);
  ConnectionHandshake hs(HandshakeTask::kEventPuller);
  {
    PooledConnection c(pool);
    EXPECT_EQ(ERR_IO, hs.RequestChannel(pool, *c, 1));
    EXPECT_FALSE(c->IsAlive());
    ASSERT_EQ(1u, server.seen().size());  // no connect after a refused SSL request
  }
  ConnectionPool nowhere(InfoFor(testing::UnusedLoopbackPort(), false), ProxyInfo{}, TunnelInfo{}, 1);
  PooledConnection c(nowhere);
  EXPECT_EQ(ERR_IO, hs.RequestChannel(nowhere, *c, 1));
  EXPECT_TRUE(c->GetChannel().IsClosed());
}

// Reads the log file written so far.
std::string ReadLog(const TempDir& dir) { return dir.ReadFile("test.log"); }

TEST(ConnectionHandshakeTest, OptInCertificateCheckAcceptsTheRightCaAndRejectsOthers) {
  TempDir dir;
  FakeServer server(dir, {.alive = 30});
  testing::WriteSelfSignedCert(dir.Join("other.crt"), dir.Join("other.key"));
  ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, ustring(dir.Join("test.log")), ustring(), 2));

  ConnectionInfo trusting = InfoFor(server.port(), true);
  trusting.ssl_ca_file = dir.Join("server.crt");
  ConnectionPool good(trusting, ProxyInfo{}, TunnelInfo{}, 1);
  ConnectionHandshake hs(HandshakeTask::kEventPuller);
  {
    PooledConnection c(good);
    EXPECT_EQ(0, hs.RequestChannel(good, *c, 1));
    EXPECT_TRUE(c->GetChannel().IsSSL());
  }

  ConnectionInfo wrong = InfoFor(server.port(), true);
  wrong.ssl_ca_file = dir.Join("other.crt");
  ConnectionPool bad(wrong, ProxyInfo{}, TunnelInfo{}, 1);
  for (HandshakeTask task : {HandshakeTask::kEventPuller, HandshakeTask::kWorker}) {
    PooledConnection c(bad);
    EXPECT_EQ(ERR_IO, ConnectionHandshake(task, 4).RequestChannel(bad, *c, 1));
    EXPECT_FALSE(c->IsAlive());
    EXPECT_FALSE(c->GetChannel().IsSSL());
  }
  Logger::Destroy();
  std::string log = ReadLog(dir);
  EXPECT_NE(std::string::npos, log.find("SSL server certificate rejected against CA file")) << log;
  EXPECT_NE(std::string::npos, log.find("[ERROR] syncer(")) << log;
  EXPECT_NE(std::string::npos, log.find("Syncer: Convert to SSL channel failed")) << log;
  EXPECT_NE(std::string::npos, log.find("Worker (4): Convert to SSL channel failed")) << log;

  // Without a CA file any certificate is accepted, as before.
  ConnectionPool open(InfoFor(server.port(), true), ProxyInfo{}, TunnelInfo{}, 1);
  PooledConnection c(open);
  EXPECT_EQ(0, hs.RequestChannel(open, *c, 1));
}

TEST(ConnectionHandshakeTest, ThroughTheRelayAndThroughProxyThenRelay) {
  TempDir dir;
  FakeServer server(dir, {.alive = 30});
  testing::TestRelay relay(dir);
  TunnelInfo tunnel{true, "127.0.0.1", static_cast<uint16_t>(relay.port())};
  ConnectionHandshake hs(HandshakeTask::kWorker, 1);
  {
    ConnectionPool pool(InfoFor(server.port(), true), ProxyInfo{}, tunnel, 1);
    PooledConnection c(pool);
    ASSERT_EQ(CHANNEL_TUNNEL, c->mode());
    ASSERT_EQ(0, hs.RequestChannel(pool, *c, 1));
    EXPECT_EQ(ustring("via relay"), Echo(hs, *c, "via relay")["echo"].asString());
  }
  if (!testing::TinyProxy::available()) GTEST_SKIP() << "tinyproxy is not installed; proxy step skipped";
  testing::TinyProxy proxy(dir);
  ProxyInfo via;
  via.use_proxy = true;
  via.proxy_ip = "127.0.0.1";
  via.proxy_port = static_cast<uint16_t>(proxy.port());
  ConnectionPool pool(InfoFor(server.port(), true), via, tunnel, 1);
  PooledConnection c(pool);
  ASSERT_EQ(CHANNEL_PROXY_TUNNEL, c->mode());
  ASSERT_EQ(0, hs.RequestChannel(pool, *c, 1));
  EXPECT_TRUE(c->GetChannel().IsSSL());
  EXPECT_EQ(ustring("via proxy and relay"), Echo(hs, *c, "via proxy and relay")["echo"].asString());
  EXPECT_EQ(2u, relay.server().tunnels_opened());
}

}  // namespace
}  // namespace tidewell
