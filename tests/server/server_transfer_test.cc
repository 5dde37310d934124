// Moving content: resumable uploads cut and resumed (also across a restart
// and from a stale connection), downloads continued from an offset, the
// de-duplication probe, deltas both ways checked against rdiff, versions
// kept across a restart, and the quota.

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "net/memory_channel.h"
#include "net/protocol.h"
#include "server/server_test_util.h"

namespace tidewell::testing {
namespace {

class ServerTransferTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Start(extra_)); }

  std::unique_ptr<TestClient> NewClient(const Account& account) {
    auto c = std::make_unique<TestClient>(server_.port(), account);
    EXPECT_EQ(0, c->Connect());
    return c;
  }

  // A resumable upload request of `local` as the daemon builds it.
  static PObject ResumeUpload(TestClient& c, const std::string& path, const std::string& local, uint64_t base,
                              const std::string& token) {
    PObject req = c.Upload(path, local, base);
    req["_action"] = "resume_upload";
    req["_resume_token"] = token;
    return req;
  }

  // Sends the first `cut` bytes of the request and closes the connection.
  static void SendCut(TestClient& c, uint8_t command, const PObject& req, size_t cut) {
    MemoryChannel encoded;
    PStream ps;
    ASSERT_EQ(0, ProtoWriteHeader(encoded, 0, command));
    ASSERT_EQ(0, ps.Send(encoded, req));
    const std::string& bytes = encoded.output();
    ASSERT_LT(cut, bytes.size());
    for (size_t at = 0; at < cut;) {
      size_t n = std::min<size_t>(cut - at, 65536);
      ASSERT_EQ(0, c.channel().Write(bytes.data() + at, n));
      at += n;
    }
    ASSERT_EQ(0, c.channel().FlushWrite(0));
    c.channel().Close();
  }

  static std::string Rdiff(const std::vector<std::string>& args) {
    ChildProcess p;
    std::vector<std::string> argv{"/usr/bin/rdiff"};
    argv.insert(argv.end(), args.begin(), args.end());
    p.Start(argv);
    EXPECT_EQ(0, p.Wait()) << p.output();
    return p.output();
  }

  std::vector<std::string> extra_;
  ServerProcess server_;
};

TEST_F(ServerTransferTest, CutResumableUploadResumesFromTheServersOffsetAcrossARestart) {
  std::mt19937_64 rng(TestSeed());
  const std::string content = RandomBytes(rng, 3 * 1024 * 1024 + 17);
  auto first = NewClient(AccountOf(server_));
  const std::string local = first->scratch() + "/big";
  WriteWhole(local, content);
  PObject reply;
  ASSERT_EQ(0u, first->CallCode(kCmdResume, first->Base("resume_get_token"), reply));
  const std::string token(reply["resume_token"].asString().c_str_utf8());
  ASSERT_EQ(32u, token.size());
  // The probe names the path; nothing like it is stored yet.
  PObject probe = first->Upload("/big.bin", local, 0);
  probe["dry_run"] = true;
  probe["file"].asMap().erase("data");
  ASSERT_EQ(0u, first->CallCode(kCmdUpload, probe, reply));
  EXPECT_EQ(0u, reply["file"]["file_id"].asUInt64());
  // About a million bytes of the body arrive, then the connection breaks.
  SendCut(*first, kCmdResume, ResumeUpload(*first, "/big.bin", local, 0, token), 1000000);

  // The server keeps what arrived under the token, across a restart.
  server_.Stop();
  ASSERT_TRUE(server_.Start(extra_));
  auto second = NewClient(AccountOf(server_));
  PObject status = second->Base("resume_get_status");
  status["_resume_token"] = token;
  uint64_t held = 0;
  for (int i = 0; i < 200 && held == 0; ++i) {
    ASSERT_EQ(0u, second->CallCode(kCmdResume, status, reply));
    held = reply["file"]["offset"].asUInt64();
  }
  EXPECT_GT(held, 500000u);
  EXPECT_LT(held, 1000000u);
  // The daemon sends the rest from that offset.
  PObject rest = ResumeUpload(*second, "/big.bin", local, 0, token);
  PObject::binary_type& data = rest["file"]["data"].asBinary();
  data.offset = held;
  data.length = content.size() - held;
  ASSERT_EQ(0u, second->CallCode(kCmdResume, rest, reply));
  const uint64_t id = reply["sync_id"].asUInt64();
  EXPECT_GT(id, 0u);
  std::string body;
  ASSERT_EQ(0u, second->Get("/big.bin", 0, reply, &body));
  EXPECT_TRUE(body == content) << "downloaded " << body.size() << " bytes";
  // The token is used up.
  EXPECT_EQ(0xB001u, second->CallCode(kCmdResume, status, reply));
  // A resumed body that does not fit the announced hash is refused and
  // stores nothing.
  ASSERT_EQ(0u, second->CallCode(kCmdResume, second->Base("resume_get_token"), reply));
  const std::string token2(reply["resume_token"].asString().c_str_utf8());
  PObject wrong = ResumeUpload(*second, "/big.bin", local, id, token2);
  wrong["file"]["hash"] = Md4Text("not it");
  EXPECT_EQ(0xB001u, second->CallCode(kCmdResume, wrong, reply));
  // A resume_upload body without a token from this connection (small
  // enough to be read and dropped before the answer).
  auto third = NewClient(AccountOf(server_));
  WriteWhole(local, "small");
  EXPECT_EQ(0xB001u, third->CallCode(kCmdResume, ResumeUpload(*third, "/big.bin", local, id, token2), reply));
}

TEST_F(ServerTransferTest, StatusTakesOverAStaleReceive) {
  std::mt19937_64 rng(TestSeed() + 1);
  const std::string content = RandomBytes(rng, 2 * 1024 * 1024);
  auto stale = NewClient(AccountOf(server_));
  const std::string local = stale->scratch() + "/f";
  WriteWhole(local, content);
  PObject reply;
  ASSERT_EQ(0u, stale->CallCode(kCmdResume, stale->Base("resume_get_token"), reply));
  const std::string token(reply["resume_token"].asString().c_str_utf8());
  // Half the request goes out and the client falls silent without closing.
  MemoryChannel encoded;
  PStream ps;
  ASSERT_EQ(0, ProtoWriteHeader(encoded, 0, kCmdResume));
  ASSERT_EQ(0, ps.Send(encoded, ResumeUpload(*stale, "/f", local, 0, token)));
  const std::string& bytes = encoded.output();
  for (size_t at = 0; at < bytes.size() / 2; at += 65536) {
    ASSERT_EQ(0, stale->channel().Write(bytes.data() + at, std::min<size_t>(65536, bytes.size() / 2 - at)));
  }
  ASSERT_EQ(0, stale->channel().FlushWrite(0));
  // Wait until the server holds some of it (its file under the token).
  const std::string held_file = server_.data_dir() + "/tmp/resume/" + token;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ReadWhole(held_file).empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_FALSE(ReadWhole(held_file).empty());

  auto fresh = NewClient(AccountOf(server_));
  PObject status = fresh->Base("resume_get_status");
  status["_resume_token"] = token;
  ASSERT_EQ(0u, fresh->CallCode(kCmdResume, status, reply));
  const uint64_t held = reply["file"]["offset"].asUInt64();
  EXPECT_GT(held, 0u);
  PObject rest = ResumeUpload(*fresh, "/f", local, 0, token);
  rest["file"]["data"].asBinary().offset = held;
  rest["file"]["data"].asBinary().length = content.size() - held;
  ASSERT_EQ(0u, fresh->CallCode(kCmdResume, rest, reply));
  std::string body;
  ASSERT_EQ(0u, fresh->Get("/f", 0, reply, &body));
  EXPECT_TRUE(body == content);
}

TEST_F(ServerTransferTest, DownloadContinuesFromAnOffsetOfTheSamePreparedBody) {
  std::mt19937_64 rng(TestSeed() + 2);
  const std::string content = RandomBytes(rng, 700000);
  auto c = NewClient(AccountOf(server_));
  ASSERT_EQ(0u, c->Put("/d.bin", content, 0));
  PObject reply;
  ASSERT_EQ(0u, c->CallCode(kCmdResume, c->Base("resume_get_token"), reply));
  const std::string token(reply["resume_token"].asString().c_str_utf8());
  PObject req = c->Download("/d.bin", 0);
  req["_resume_token"] = token;
  ASSERT_EQ(0u, c->CallCode(kCmdResume, req, reply));
  const std::string whole = ReadWhole(reply["file"]["data"].asBinary().path.c_str_utf8());
  ASSERT_TRUE(whole == content);
  // The transfer broke after 300,000 bytes: the daemon asks for the rest.
  req["file"]["offset"] = 300000u;
  ASSERT_EQ(0u, c->CallCode(kCmdResume, req, reply));
  EXPECT_EQ(700000u, reply["file"]["size"].asUInt64());
  EXPECT_EQ(Md4Text(content), std::string(reply["file"]["hash"].asString().c_str_utf8()));
  const std::string tail = ReadWhole(reply["file"]["data"].asBinary().path.c_str_utf8());
  EXPECT_TRUE(tail == content.substr(300000));
  // An offset on a token that prepared nothing, or an unknown token.
  ASSERT_EQ(0u, c->CallCode(kCmdResume, c->Base("resume_get_token"), reply));
  req["_resume_token"] = reply["resume_token"];
  EXPECT_EQ(0xB001u, c->CallCode(kCmdResume, req, reply));
  req["_resume_token"] = "00000000000000000000000000000000";
  EXPECT_EQ(0xB001u, c->CallCode(kCmdResume, req, reply));
}

TEST_F(ServerTransferTest, ProbeFindsTheUsersOwnContentAndReferCommitsWithoutData) {
  Account bob = AddUser(server_, "bob");
  auto a = NewClient(AccountOf(server_));
  auto b = NewClient(bob);
  const std::string content(600000, 'q');
  ASSERT_EQ(0u, a->Put("/orig", content, 0));
  const std::string local = a->scratch() + "/copy";
  WriteWhole(local, content);
  PObject probe = a->Upload("/copy", local, 0);
  probe["dry_run"] = true;
  probe["file"].asMap().erase("data");
  PObject reply;
  ASSERT_EQ(0u, a->CallCode(kCmdUpload, probe, reply));
  const uint64_t file_id = reply["file"]["file_id"].asUInt64();
  EXPECT_NE(0u, file_id);
  // Another user's probe finds nothing.
  PObject bob_probe = probe;
  bob_probe["session"] = bob.session;
  bob_probe["view_id"] = static_cast<unsigned long long>(bob.view_id);
  ASSERT_EQ(0u, b->CallCode(kCmdUpload, bob_probe, reply));
  EXPECT_EQ(0u, reply["file"]["file_id"].asUInt64());
  // The probe answers the real upload's errors.
  PObject stale = probe;
  stale["path"] = "/orig";
  stale["sync_id"] = 99u;
  EXPECT_EQ(0x9002u, a->CallCode(kCmdUpload, stale, reply));
  // "refer" with the file_id: committed, no data sent.
  PObject req = a->Upload("/copy", local, 0);
  req["file"].asMap().erase("data");
  req["file"]["refer"] = true;
  req["file"]["file_id"] = file_id;
  ASSERT_EQ(0u, a->CallCode(kCmdUpload, req, reply));
  std::string body;
  ASSERT_EQ(0u, a->Get("/copy", 0, reply, &body));
  EXPECT_TRUE(body == content);
  // A file_id of another user, or one that never was: redo.
  PObject theft = req;
  theft["session"] = bob.session;
  theft["view_id"] = static_cast<unsigned long long>(bob.view_id);
  EXPECT_EQ(0xB001u, b->CallCode(kCmdUpload, theft, reply));
  req["path"] = "/copy2";
  req["file"]["file_id"] = 987654u;
  EXPECT_EQ(0xB001u, a->CallCode(kCmdUpload, req, reply));
}

TEST_F(ServerTransferTest, DeltasBothWaysAgreeWithRdiffAndVersionsSurviveARestart) {
  if (access("/usr/bin/rdiff", X_OK) != 0) GTEST_SKIP() << "rdiff is not installed";
  std::mt19937_64 rng(TestSeed() + 3);
  const std::string v1 = RandomBytes(rng, 400000);
  std::string v2 = v1;
  v2.replace(100000, 5000, RandomBytes(rng, 7000));
  v2 += RandomBytes(rng, 3000);
  auto c = NewClient(AccountOf(server_));
  uint64_t id1 = 0;
  ASSERT_EQ(0u, c->Put("/doc", v1, 0, &id1));
  const std::string dir = c->scratch();
  WriteWhole(dir + "/v1", v1);
  WriteWhole(dir + "/v2", v2);

  // Upload: a delta made by rdiff against v1, applied by the server.
  Rdiff({"-H", "md4", "-R", "rollsum", "-b", "2048", "-S", "8", "signature", dir + "/v1", dir + "/v1.sig"});
  Rdiff({"-R", "rollsum", "delta", dir + "/v1.sig", dir + "/v2", dir + "/up.delta"});
  PObject req = c->Upload("/doc", dir + "/v2", id1);
  req["file"]["is_delta"] = true;
  PObject::binary_type data;
  data.path = ustring(dir + "/up.delta");
  data.length = ReadWhole(dir + "/up.delta").size();
  req["file"]["data"] = data;
  PObject reply;
  ASSERT_EQ(0u, c->CallCode(kCmdUpload, req, reply)) << server_.Log();
  const uint64_t id2 = reply["sync_id"].asUInt64();

  // A delta whose result does not match the hash stores nothing.
  req["sync_id"] = static_cast<unsigned long long>(id2);
  EXPECT_EQ(0xB001u, c->CallCode(kCmdUpload, req, reply));

  // Versions are kept across a restart: a client holding v1 gets a delta.
  server_.Stop();
  ASSERT_TRUE(server_.Start(extra_));
  auto after = NewClient(AccountOf(server_));
  std::string body;
  ASSERT_EQ(0u, after->Get("/doc", id1, reply, &body));
  EXPECT_EQ(1u, reply["file"]["is_delta"].asUInt64());
  EXPECT_LT(body.size(), v2.size() / 10);
  EXPECT_EQ(v2.size(), reply["file"]["size"].asUInt64());
  EXPECT_EQ(Md4Text(v2), std::string(reply["file"]["hash"].asString().c_str_utf8()));
  WriteWhole(dir + "/down.delta", body);
  Rdiff({"patch", dir + "/v1", dir + "/down.delta", dir + "/rebuilt"});
  EXPECT_TRUE(ReadWhole(dir + "/rebuilt") == v2);
  // A client without a version gets the whole file.
  ASSERT_EQ(0u, after->Get("/doc", 0, reply, &body));
  EXPECT_EQ(0u, reply["file"]["is_delta"].asUInt64());
  EXPECT_TRUE(body == v2);
}

class ServerQuotaTest : public ServerTransferTest {
 protected:
  ServerQuotaTest() { extra_ = {"--quota", "1000000"}; }
};

TEST_F(ServerQuotaTest, UploadsBeyondTheQuotaAreRefusedAndRemovalsFreeSpace) {
  auto c = NewClient(AccountOf(server_));
  uint64_t id = 0;
  ASSERT_EQ(0u, c->Put("/a", std::string(600000, 'a'), 0, &id));
  EXPECT_EQ(0x4001u, c->Put("/b", std::string(500000, 'b'), 0));
  // Replacing a file counts only the growth.
  ASSERT_EQ(0u, c->Put("/a", std::string(900000, 'c'), id, &id));
  // A large body is refused before it is stored: the connection closes
  // after the answer, and the token remembers why.
  PObject reply;
  ASSERT_EQ(0u, c->CallCode(kCmdResume, c->Base("resume_get_token"), reply));
  const std::string token(reply["resume_token"].asString().c_str_utf8());
  const std::string local = c->scratch() + "/huge";
  WriteWhole(local, std::string(3000000, 'h'));
  PObject probe = c->Upload("/huge", local, 0);
  probe["dry_run"] = true;
  probe["file"].asMap().erase("data");
  EXPECT_EQ(0x4001u, c->CallCode(kCmdUpload, probe, reply));
  PObject big = ResumeUpload(*c, "/huge", local, 0, token);
  int rc = c->Call(kCmdResume, big, reply);
  // Either the answer arrived before the close, or the write broke first.
  if (rc == 0) {
    EXPECT_EQ(0x4001u, reply["error"]["code"].asUInt64());
  }
  c = NewClient(AccountOf(server_));
  PObject status = c->Base("resume_get_status");
  status["_resume_token"] = token;
  EXPECT_EQ(0x4001u, c->CallCode(kCmdResume, status, reply));
  // Removing the file frees its space.
  ASSERT_EQ(0u, c->CallCode(kCmdRemove, c->Remove("/a", id, id), reply));
  EXPECT_EQ(0u, c->Put("/b", std::string(500000, 'b'), 0));
}

}  // namespace
}  // namespace tidewell::testing
