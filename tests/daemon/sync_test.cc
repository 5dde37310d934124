// The real daemon syncing a folder with the real tidewell-server, under the
// control of the test acting as its user interface: changes travel both
// ways, a pause in the middle of a transfer waits for the worker, and an
// edited rule file takes effect on reload.

#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "common/daemon_process.h"
#include "common/forwarder.h"
#include "common/server_client.h"
#include "common/server_process.h"
#include "common/temp_dir.h"
#include "common/test_cert.h"

namespace tidewell {
namespace {

using testing::DaemonProcess;
using testing::Forwarder;
using testing::ServerClient;
using testing::ServerProcess;
using testing::TempDir;
using testing::UiEndpoint;

constexpr uint64_t kSession = 21;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The server's current entry for `path` from a pull of the whole view, or
// null.
PObject ServerEntry(ServerClient& client, const std::string& path) {
  const PObject reply = client.Pull(0);
  PObject found;
  for (const PObject& e : reply["event_list"].asArray()) {
    if (e["path"].asString() == ustring(path)) found = e;  // the latest wins
  }
  return found;
}

// How many items of the view the server still holds.
int FilesOnServer(ServerClient& client) {
  const PObject reply = client.Pull(0);
  std::map<std::string, bool> present;  // the latest event of each path wins
  for (const PObject& e : reply["event_list"].asArray()) {
    present[e["path"].asString().c_str_utf8()] = !e["is_removed"].asBool();
  }
  int n = 0;
  for (const auto& [path, here] : present) n += here ? 1 : 0;
  return n;
}

class SyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(testing::DaemonProgram().c_str(), X_OK) != 0) GTEST_SKIP() << "tidewell-daemon is not built";
    if (access(ServerProcess::BinaryPath().c_str(), X_OK) != 0) GTEST_SKIP() << "tidewell-server is not built";
    ASSERT_TRUE(server_.Start());
    client_ = std::make_unique<ServerClient>(server_);
    daemon_.Start();
    ASSERT_FALSE(daemon_.Request("link").hasMember("error"));
  }

  // The connection data of the test's server.
  PObject ConnectionData(int port = 0) {
    PObject conn;
    conn["connection_id"] = 5;
    conn["server_ip"] = "127.0.0.1";
    conn["server_port"] = port != 0 ? port : server_.port();
    conn["session"] = server_.session();
    conn["use_ssl"] = 0;
    conn["computer_name"] = "test-pc";
    return conn;
  }

  // Links the pool with `conn` (plain, to the server, unless given) and adds
  // the session on the folder "local"; the session is left paused.
  void Connect(int port = 0) { Connect(ConnectionData(port)); }
  void Connect(const PObject& conn) {
    ASSERT_FALSE(daemon_.Request("link_connection", conn).hasMember("error"));
    testing::WriteOpenRuleFiles(dir_, "config");
    std::filesystem::create_directories(dir_.Join("local"));
    PObject add;
    add["connection_id"] = 5;
    add["session_id"] = static_cast<unsigned long long>(kSession);
    add["view_id"] = static_cast<unsigned long long>(server_.view_id());
    add["config_path"] = dir_.Join("config");
    add["sync_folder"] = dir_.Join("local");
    add["remote_path"] = "/";
    PObject reply = daemon_.Request("add_session", add);
    ASSERT_FALSE(reply.hasMember("error")) << reply.toString().c_str_utf8();
  }

  PObject Session() {
    PObject id;
    id["session_id"] = static_cast<unsigned long long>(kSession);
    return id;
  }

  // Waits until the server holds `path` with `content`.
  void AwaitOnServer(const std::string& path, const std::string& content, int seconds = 90) {
    const ustring hash(testing::Md4Hex(content));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
      PObject e = ServerEntry(*client_, path);
      if (!e.isNull() && e["file"]["hash"].asString() == hash && !e["is_removed"].asBool()) return;
      if (std::chrono::steady_clock::now() >= deadline) {
        FAIL() << path << " did not reach the server; daemon log:\n" << daemon_.Log();
      }
      pollfd none{-1, 0, 0};
      ::poll(&none, 0, 50);
    }
  }

  // Waits until the server event puller has made one more pull of the
  // session that brought nothing new, so that the echoes of what this
  // client sent have come back and been dealt with.
  void AwaitPullerCaughtUp(int seconds = 90) {
    const std::string line = "session '" + std::to_string(kSession) + "' is uptodate.";
    auto count = [&] {
      std::string log = daemon_.Log();
      size_t n = 0;
      for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++n;
      return n;
    };
    const size_t before = count();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (count() <= before) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the puller did not catch up";
      pollfd none{-1, 0, 0};
      ::poll(&none, 0, 100);
    }
  }

  // Waits until the local file `rel` holds `content`.
  void AwaitLocally(const std::string& rel, const std::string& content, int seconds = 90) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (ReadFile(dir_.Join("local" + rel)) != content) {
      if (std::chrono::steady_clock::now() >= deadline) {
        FAIL() << rel << " did not arrive; daemon log:\n" << daemon_.Log();
      }
      pollfd none{-1, 0, 0};
      ::poll(&none, 0, 50);
    }
  }

  TempDir dir_;
  ServerProcess server_;
  std::unique_ptr<ServerClient> client_;
  UiEndpoint ui_;
  DaemonProcess daemon_{dir_, ui_, {{"worker_count", "3"}}};
};

TEST_F(SyncTest, AFileOnTheServerAppearsInTheFolder) {
  Connect();
  ASSERT_FALSE(client_->Upload("/from-server.txt", "put on the server by another client").hasMember("error"));
  ASSERT_FALSE(client_->MakeDir("/docs").hasMember("error"));
  ASSERT_FALSE(client_->Upload("/docs/deep.txt", "one level down").hasMember("error"));
  ASSERT_FALSE(daemon_.Request("resume", Session()).hasMember("error"));
  AwaitLocally("/from-server.txt", "put on the server by another client");
  AwaitLocally("/docs/deep.txt", "one level down");

  // The user interface heard about it, and the status settles.
  ui_.WaitFor([](const PObject& n) {
    return n["notify"].asString() == ustring("recent_file") && n["session_id"].asUInt64() == kSession;
  });
  const PObject status = daemon_.WaitForStatus([](const PObject& s) {
    return s["session_list"][0]["status"].asString() == ustring("uptodate") &&
           s["connection_list"][0]["status"].asString() == ustring("connected");
  });
  EXPECT_EQ(ustring("ok"), status["session_list"][0]["state"].asString());
  EXPECT_EQ(5u, status["connection_list"][0]["connection_id"].asUInt64());

  // A later change on the server follows while the session runs.
  uint64_t base = client_->SyncIdOf("/from-server.txt");
  ASSERT_FALSE(client_->Upload("/from-server.txt", "changed on the server", base).hasMember("error"));
  AwaitLocally("/from-server.txt", "changed on the server");

  daemon_.Request("stop");
  EXPECT_EQ(0, daemon_.Wait());
}

TEST_F(SyncTest, AFileCreatedInTheFolderReachesTheServer) {
  Connect();
  dir_.WriteFile("local/before-resume.txt", "written while paused");
  ASSERT_FALSE(daemon_.Request("resume", Session()).hasMember("error"));
  AwaitOnServer("/before-resume.txt", "written while paused");
  dir_.WriteFile("local/docs/note.txt", "a note made locally");
  AwaitOnServer("/docs/note.txt", "a note made locally");
}

TEST_F(SyncTest, AnEditedRuleFileTakesEffectOnReload) {
  Connect();
  // A name rule keeps "held.txt" back from the server.
  dir_.WriteFile("config/conf/blacklist.filter", "[File]\nblack_name_selective_sync = \"held.txt\"\n");
  ASSERT_FALSE(daemon_.Request("reload_session", Session()).hasMember("error"));
  ASSERT_FALSE(daemon_.Request("resume", Session()).hasMember("error"));
  dir_.WriteFile("local/held.txt", "kept back");
  dir_.WriteFile("local/free.txt", "goes out");
  AwaitOnServer("/free.txt", "goes out");
  ASSERT_TRUE(daemon_.WaitForLog("Filtered Event: '/held.txt'"));
  EXPECT_TRUE(ServerEntry(*client_, "/held.txt").isNull());

  // The rule removed: the file the rule held back goes out.
  ASSERT_FALSE(daemon_.Request("pause", Session()).hasMember("error"));
  dir_.WriteFile("config/conf/blacklist.filter", "");
  ASSERT_FALSE(daemon_.Request("reload_session", Session()).hasMember("error"));
  ASSERT_FALSE(daemon_.Request("resume", Session()).hasMember("error"));
  AwaitOnServer("/held.txt", "kept back");
}

TEST_F(SyncTest, AMassDeletionIsHeldUntilTheUserConfirmsIt) {
  Connect();
  constexpr int kFiles = 150;
  for (int i = 0; i < kFiles; ++i) dir_.WriteFile("local/f" + std::to_string(i) + ".txt", "file " + std::to_string(i));
  ASSERT_FALSE(daemon_.Request("resume", Session()).hasMember("error"));
  AwaitOnServer("/f" + std::to_string(kFiles - 1) + ".txt", "file " + std::to_string(kFiles - 1));
  daemon_.WaitForStatus([](const PObject& s) { return s["session_list"][0]["status"].asString() == ustring("uptodate"); });
  AwaitPullerCaughtUp();
  daemon_.WaitForStatus([](const PObject& s) { return s["session_list"][0]["status"].asString() == ustring("uptodate"); });

  // Everything deleted at once looks like a lost disk, not like intent.
  for (int i = 0; i < kFiles; ++i) std::filesystem::remove(dir_.Join("local/f" + std::to_string(i) + ".txt"));
  // Once every deletion has been judged, what the server still holds is
  // exactly what is held.
  const PObject held = daemon_.WaitForStatus([&](const PObject& s) {
    const PObject& session = s["session_list"][0];
    return session["state"].asString() == ustring("held") && session["status"].asString() == ustring("uptodate") &&
           session["held_removals"].asUInt64() == static_cast<uint64_t>(FilesOnServer(*client_));
  });
  const PObject& session = held["session_list"][0];
  EXPECT_GT(session["held_removals"].asUInt64(), 0u);
  EXPECT_FALSE(session["last_error"].asString().empty());
  ui_.WaitFor([](const PObject& n) {
    return n["notify"].asString() == ustring("error") && n["session_id"].asUInt64() == kSession;
  });
  EXPECT_GT(FilesOnServer(*client_), 0) << "every removal reached the server before the hold";
  EXPECT_LT(FilesOnServer(*client_), kFiles) << "no removal reached the server before the hold";

  // Confirmed: the held removals go out.
  PObject confirm = Session();
  confirm["confirm_removals"] = 1;
  ASSERT_FALSE(daemon_.Request("resume", confirm).hasMember("error"));
  const PObject after = daemon_.WaitForStatus([](const PObject& s) {
    return s["session_list"][0]["state"].asString() == ustring("ok") &&
           s["session_list"][0]["status"].asString() == ustring("uptodate");
  });
  EXPECT_FALSE(after["session_list"][0].hasMember("held_removals"));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  for (;;) {
    int remaining = FilesOnServer(*client_);
    if (remaining == 0) break;
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << remaining << " files still on the server; daemon log:\n"
                                                          << daemon_.Log();
    pollfd none{-1, 0, 0};
    ::poll(&none, 0, 50);
  }
}

TEST_F(SyncTest, AnSslCaFileFromTheUserInterfaceDecidesWhichServerIsTrusted) {
  testing::WriteSelfSignedCert(dir_.Join("other.crt"), dir_.Join("other.key"), "someone else");
  PObject conn = ConnectionData();
  conn["use_ssl"] = 1;
  conn["ssl_ca_file"] = dir_.Join("other.crt");
  Connect(conn);
  ASSERT_FALSE(client_->Upload("/secret.txt", "only for the right server").hasMember("error"));
  ASSERT_FALSE(daemon_.Request("resume", Session()).hasMember("error"));
  // The server's certificate does not chain to the given file: refused.
  ASSERT_TRUE(daemon_.WaitForLog("SSL server certificate rejected against CA file '" + dir_.Join("other.crt")));
  const PObject refused = daemon_.Request("get_status");
  EXPECT_EQ(ustring("disconnected"), refused["connection_list"][0]["status"].asString());
  EXPECT_FALSE(std::filesystem::exists(dir_.Join("local/secret.txt")));

  // The server's own certificate as the trust anchor: the session syncs.
  conn["ssl_ca_file"] = server_.data_dir() + "/server.crt";
  ASSERT_FALSE(daemon_.Request("reload_connection", conn).hasMember("error"));
  AwaitLocally("/secret.txt", "only for the right server");
  daemon_.WaitForStatus(
      [](const PObject& s) { return s["connection_list"][0]["status"].asString() == ustring("connected"); });
}

TEST_F(SyncTest, PauseDuringALargeTransferWaitsForTheWorkerThenRemovalSucceeds) {
  // The server's replies crawl through a throttled forwarder, so the
  // download is caught in the middle.
  Forwarder slow(server_.port());
  constexpr size_t kSize = 6 << 20;
  std::string big(kSize, '\0');
  for (size_t i = 0; i < kSize; ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);
  dir_.WriteFile("big.bin", big);
  ASSERT_FALSE(client_->UploadFile("/big.bin", dir_.Join("big.bin")).hasMember("error"));
  slow.SetClientRate(512 * 1024);
  Connect(slow.port());
  ASSERT_FALSE(daemon_.Request("resume", Session()).hasMember("error"));

  // get_status shows the session syncing and a worker with its progress.
  const PObject busy = daemon_.WaitForStatus([](const PObject& s) {
    for (const PObject& w : s["worker_list"].asArray()) {
      if (w["path"].asString() == ustring("/big.bin") && w["progress"].asUInt64() > 0) return true;
    }
    return false;
  });
  const PObject& worker = busy["worker_list"][0];
  EXPECT_EQ(ustring("downloading"), worker["status"].asString());
  EXPECT_EQ(kSession, worker["session_id"].asUInt64());
  EXPECT_EQ(kSize, worker["total_size"].asUInt64());
  EXPECT_LT(worker["progress"].asUInt64(), kSize);
  EXPECT_EQ(ustring("syncing"), busy["session_list"][0]["status"].asString());

  // Pause returns only once the worker has let go of the session.
  auto began = std::chrono::steady_clock::now();
  ASSERT_FALSE(daemon_.Request("pause", Session()).hasMember("error"));
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(30));
  std::string log = daemon_.Log();
  EXPECT_NE(std::string::npos, log.find("wait for worker drop ...")) << log;
  EXPECT_NE(std::string::npos, log.find("worker drop session done, continue"));
  const PObject paused = daemon_.Request("get_status");
  EXPECT_FALSE(paused.hasMember("worker_list")) << paused.toString().c_str_utf8();
  EXPECT_EQ(ustring("paused"), paused["session_list"][0]["state"].asString());

  ASSERT_FALSE(daemon_.Request("remove_session", Session()).hasMember("error"));
  EXPECT_FALSE(daemon_.Request("get_status").hasMember("session_list"));
  EXPECT_NE(ReadFile(dir_.Join("local/big.bin")), big) << "the download finished after all";
  daemon_.Request("stop");
  EXPECT_EQ(0, daemon_.Wait());
}

}  // namespace
}  // namespace tidewell
