// The tidewell-server program as an operator runs it, and the checks every
// connection and request goes through: tokens, views, SSL both ways, the
// "alive" grant, the request log and a clean stop.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "base/error_code.h"
#include "server/server_test_util.h"

namespace tidewell::testing {
namespace {

TEST(ServerProgramTest, AdministrationCommandsPrintTokensAndRefuseMistakes) {
  ServerProcess server;
  ASSERT_TRUE(server.Start());
  EXPECT_EQ(1u, AccountOf(server).view_id);
  int status = -1;
  // init refuses a folder that already holds a store.
  std::string again = RunAdmin(server, {"init", "--user", "x"}, &status);
  EXPECT_EQ(2, status);
  EXPECT_NE(std::string::npos, again.find("already holds a store")) << again;

  std::string json = RunAdmin(server, {"user", "add", "--user", "bob", "--json"}, &status);
  EXPECT_EQ(0, status);
  EXPECT_NE(std::string::npos, json.find("{\"user\": \"bob\", \"session\": \"")) << json;
  EXPECT_NE(std::string::npos, json.find("\"view_id\": 2}")) << json;
  RunAdmin(server, {"user", "add", "--user", "bob"}, &status);
  EXPECT_EQ(2, status);
  std::string view = RunAdmin(server, {"view", "add", "--user", "bob", "--name", "work"}, &status);
  EXPECT_EQ(0, status);
  EXPECT_EQ("view_id=3\n", view);
  RunAdmin(server, {"view", "add", "--user", "nobody", "--name", "w"}, &status);
  EXPECT_EQ(2, status);
  std::string token = RunAdmin(server, {"token", "new", "--user", AccountOf(server).user}, &status);
  EXPECT_EQ(0, status);
  EXPECT_NE(std::string::npos, token.find("session=")) << token;
  // The token is stored hashed: its text appears nowhere in the database.
  std::string db = ReadWhole(server.data_dir() + "/server.db") + ReadWhole(server.data_dir() + "/server.db-wal");
  EXPECT_EQ(std::string::npos, db.find(AccountOf(server).session));
  // A self-signed certificate for SSL out of the box, the key private.
  EXPECT_NE(std::string::npos, ReadWhole(server.data_dir() + "/server.crt").find("BEGIN CERTIFICATE"));
  EXPECT_EQ(0, access((server.data_dir() + "/server.key").c_str(), R_OK));
}

TEST(ServerProgramTest, LogsOneLinePerRequestAndStopsCleanlyOnSigterm) {
  ServerProcess server;
  ASSERT_TRUE(server.Start());
  {
    TestClient client(server.port(), AccountOf(server));
    ASSERT_EQ(0, client.Connect());
    ASSERT_EQ(0u, client.Put("/notes.txt", "hello", 0));
    PObject reply;
    EXPECT_EQ(0x6002u, client.CallCode(kCmdUpload, client.Upload("/notes.txt", "", 0, true), reply));
  }
  EXPECT_TRUE(WaitForLog(server, "action=upload path=/notes.txt result=0x6002"));
  std::string out = server.Log();
  // user, action, path, result code, milliseconds
  EXPECT_NE(std::string::npos, out.find("[INFO] server(")) << out;
  const std::string user = "user=" + AccountOf(server).user;
  EXPECT_NE(std::string::npos, out.find(user + " action=connect path=- result=0x0 ms=")) << out;
  EXPECT_NE(std::string::npos, out.find(user + " action=upload path=/notes.txt result=0x0 ms=")) << out;
  server.Stop();
  EXPECT_NE(std::string::npos, server.Log().find("[NOTE] server(")) << server.Log();
  EXPECT_NE(std::string::npos, server.Log().find("Terminated received, stopping")) << server.Log();
  EXPECT_NE(std::string::npos, server.Log().find("stopped\n")) << server.Log();
}

// Every refusal of the connection checks, as the daemon's handshake and
// requests meet it.
TEST(ServerSessionTest, TokensAndViewsAreCheckedOnConnectAndOnEveryRequest) {
  ServerProcess server;
  ASSERT_TRUE(server.Start());
  Account bob = AddUser(server, "bob");
  const Account alice = AccountOf(server);

  struct Case {
    const char* what;
    Account account;
    int handshake;  // the daemon's code for the connect reply
  };
  Account unknown = alice;
  unknown.session = "0123456789abcdef0123456789abcdef";
  Account foreign_view = alice;
  foreign_view.view_id = bob.view_id;
  Account missing_view = alice;
  missing_view.view_id = 999;
  const Case cases[] = {
      {"unknown token (0x1001)", unknown, ERR_AUTH},
      {"another user's view (0x3001)", foreign_view, ERR_VIEW},
      {"no such view (0x3001)", missing_view, ERR_VIEW},
      {"own token and view", alice, ERR_OK},
  };
  for (const Case& c : cases) {
    TestClient client(server.port(), c.account);
    EXPECT_EQ(c.handshake, client.Connect()) << c.what;
  }

  TestClient client(server.port(), alice);
  // A request before any connect: refused with "alive" 0, so that the
  // daemon drops the connection and redoes the handshake.
  ASSERT_EQ(0, client.channel().Open("127.0.0.1", server.port()));
  PObject reply;
  EXPECT_EQ(0x1002u, client.CallCode(kCmdPull, client.Pull(0), reply));
  EXPECT_EQ(0u, reply["alive"].asUInt64());
  EXPECT_EQ(0u, reply["next_sync_id"].asUInt64());
  EXPECT_TRUE(reply["event_list"].isArray());
  client.channel().Close();

  ASSERT_EQ(0, client.Connect());
  PObject pull = client.Pull(0);
  struct RequestCase {
    const char* what;
    const char* key;
    PObject value;
    uint64_t code;
  };
  const RequestCase requests[] = {
      {"unknown token", "session", PObject("ffffffffffffffffffffffffffffffff"), 0x1001},
      {"token of another user", "session", PObject(bob.session), 0x1003},
      {"view of another user", "view_id", PObject(static_cast<unsigned long long>(bob.view_id)), 0x3001},
      {"view id of the wrong type", "view_id", PObject("1"), 0x3001},
  };
  for (const RequestCase& r : requests) {
    PObject req = pull;
    req[r.key] = r.value;
    EXPECT_EQ(r.code, client.CallCode(kCmdPull, req, reply)) << r.what;
    EXPECT_GT(reply["alive"].asUInt64(), 0u) << r.what;
    EXPECT_EQ(0u, reply["next_sync_id"].asUInt64()) << r.what;
  }
  // An action the command does not carry, and an unknown command.
  EXPECT_EQ(0x5001u, client.CallCode(kCmdRemove, pull, reply));
  EXPECT_EQ(0x5001u, client.CallCode(40, client.Base("rename"), reply));
  // The connection still serves.
  EXPECT_EQ(0u, client.CallCode(kCmdPull, pull, reply));
  EXPECT_EQ(120u, reply["alive"].asUInt64());
}

TEST(ServerSessionTest, ConnectionsBeyondTheLimitAreClosedAtOnce) {
  ServerProcess server;
  ASSERT_TRUE(server.Start({"--max-connections", "1"}));
  // The fixture's readiness probe held the one place for a moment.
  std::unique_ptr<TestClient> first;
  const auto probe_gone = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  do {
    first = std::make_unique<TestClient>(server.port(), AccountOf(server));
  } while (first->Connect() != 0 && std::chrono::steady_clock::now() < probe_gone);
  ASSERT_EQ(0, first->Connect());
  {
    TestClient second(server.port(), AccountOf(server));
    EXPECT_NE(0, second.Connect());
  }
  EXPECT_TRUE(WaitForLog(server, "refusing a connection: 1 connections are open (--max-connections)"));
  // Once the first is gone its place is free again (awaited: the server
  // notices the close on its own thread).
  first.reset();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int rc = -1;
  while (rc != 0 && std::chrono::steady_clock::now() < deadline) {
    TestClient third(server.port(), AccountOf(server));
    rc = third.Connect();
    if (rc != 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(0, rc);
}

TEST(ServerSessionTest, SslThroughEncryptChannelAndThroughDoSsl) {
  ServerProcess server;
  ASSERT_TRUE(server.Start());
  for (HandshakeTask task : {HandshakeTask::kEventPuller, HandshakeTask::kWorker}) {
    TestClient client(server.port(), AccountOf(server), /*use_ssl=*/true, task);
    ASSERT_EQ(0, client.Connect());
    EXPECT_TRUE(client.channel().IsSSL());
    uint64_t id = 0;
    const std::string path = task == HandshakeTask::kWorker ? "/w.txt" : "/p.txt";
    ASSERT_EQ(0u, client.Put(path, std::string(200000, 'x'), 0, &id));
    PObject reply;
    std::string body;
    ASSERT_EQ(0u, client.Get(path, 0, reply, &body));
    EXPECT_EQ(std::string(200000, 'x'), body);
  }
}

}  // namespace
}  // namespace tidewell::testing
