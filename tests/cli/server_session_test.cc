// The front end's own conversations with the real tidewell-server: the
// login handshake and its one-line reasons, and the listing that verify
// pulls from sync id 0.

#include "cli/server_session.h"

#include <gtest/gtest.h>

#include "common/server_client.h"
#include "common/server_process.h"
#include "common/temp_dir.h"
#include "common/test_cert.h"

namespace tidewell::cli {
namespace {

class ServerSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Start()); }

  ConnectionSettings Good() const {
    ConnectionSettings s;
    s.host = "127.0.0.1";
    s.port = server_.port();
    s.token = server_.session();
    s.view = server_.view_id();
    s.use_ssl = true;
    s.ca_file = server_.data_dir() + "/server.crt";
    return s;
  }

  testing::ServerProcess server_;
  testing::TempDir dir_;
};

TEST_F(ServerSessionTest, EachFailedLoginSaysWhyInOneLine) {
  testing::WriteSelfSignedCert(dir_.Join("other.crt"), dir_.Join("other.key"), "127.0.0.1");
  struct Case {
    const char* what;
    std::function<void(ConnectionSettings&)> change;
    ServerFailure expect;
  } cases[] = {
      {"good over SSL", [](ConnectionSettings&) {}, ServerFailure::kNone},
      {"good in plain text", [](ConnectionSettings& s) { s.use_ssl = false, s.ca_file.clear(); }, ServerFailure::kNone},
      {"wrong token", [](ConnectionSettings& s) { s.token = "00000000000000000000000000000000"; },
       ServerFailure::kWrongToken},
      {"unknown view", [](ConnectionSettings& s) { s.view = 99; }, ServerFailure::kWrongView},
      {"nobody listens", [](ConnectionSettings& s) { s.port = testing::FreeLoopbackPort(); },
       ServerFailure::kUnreachable},
      {"host unknown", [](ConnectionSettings& s) { s.host = "no-such-host.invalid"; }, ServerFailure::kBadAddress},
      {"another certificate", [&](ConnectionSettings& s) { s.ca_file = dir_.Join("other.crt"); },
       ServerFailure::kCertificateRefused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ConnectionSettings s = Good();
    c.change(s);
    ServerSession session;
    ServerProblem problem;
    const int rc = session.Open(s, s.view, problem);
    EXPECT_EQ(c.expect == ServerFailure::kNone ? 0 : -1, rc) << problem.reason;
    EXPECT_EQ(c.expect, problem.kind) << problem.reason;
    if (rc != 0) {
      EXPECT_EQ(std::string::npos, problem.reason.find('\n'));
      EXPECT_FALSE(problem.hint.empty());
    }
  }
}

TEST_F(ServerSessionTest, ListingFollowsTheLatestStateOfEveryObject) {
  testing::ServerClient client(server_);
  ASSERT_FALSE(client.Upload("/d/a.txt", "abc").hasMember("error"));
  ASSERT_FALSE(client.Upload("/d/b.txt", "").hasMember("error"));
  ASSERT_FALSE(client.Upload("/e/c.txt", "abc").hasMember("error"));
  ASSERT_FALSE(client.Remove("/e").hasMember("error"));
  ASSERT_FALSE(client.Upload("/d/b.txt", "abc", client.SyncIdOf("/d/b.txt")).hasMember("error"));

  ServerSession session;
  ServerProblem problem;
  ASSERT_EQ(0, session.Open(Good(), server_.view_id(), problem)) << problem.reason;
  std::map<std::string, ServerObject> tree;
  ASSERT_EQ(0, session.ListTree("/", tree, problem)) << problem.reason;
  ASSERT_EQ(3u, tree.size());
  EXPECT_TRUE(tree["/d"].is_dir);
  EXPECT_EQ("a448017aaf21d8525fc10ae87aa6729d", tree["/d/a.txt"].hash);
  EXPECT_EQ("a448017aaf21d8525fc10ae87aa6729d", tree["/d/b.txt"].hash);  // the latest version
  EXPECT_EQ(3u, tree["/d/b.txt"].size);
  ASSERT_EQ(0, session.ListTree("/d", tree, problem)) << problem.reason;
  EXPECT_EQ(2u, tree.size());
  EXPECT_TRUE(tree.count("/a.txt"));  // relative to the listed folder
}

TEST_F(ServerSessionTest, ListingReadsEveryPage) {
  testing::ServerClient client(server_);
  constexpr int kFiles = 1105;  // more than one page of 1000 events
  for (int i = 0; i < kFiles; ++i) {
    ASSERT_FALSE(client.Upload("/p/f" + std::to_string(i), std::to_string(i)).hasMember("error")) << i;
  }
  ServerSession session;
  ServerProblem problem;
  ASSERT_EQ(0, session.Open(Good(), server_.view_id(), problem)) << problem.reason;
  std::map<std::string, ServerObject> tree;
  ASSERT_EQ(0, session.ListTree("/", tree, problem)) << problem.reason;
  EXPECT_EQ(static_cast<size_t>(kFiles) + 1, tree.size());
  EXPECT_EQ(testing::Md4Hex("1104"), tree["/p/f1104"].hash);
}

}  // namespace
}  // namespace tidewell::cli
