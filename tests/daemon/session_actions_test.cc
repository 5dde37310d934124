// The session control actions of the real daemon, sent as a user interface
// sends them: linking, sessions added, paused, resumed, reloaded and
// removed, the connection pool's actions, and the status they leave.

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/daemon_process.h"
#include "common/temp_dir.h"

namespace tidewell {
namespace {

using testing::DaemonProcess;
using testing::TempDir;
using testing::UiEndpoint;

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

class SessionActionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(testing::DaemonProgram().c_str(), X_OK) != 0) GTEST_SKIP() << "tidewell-daemon is not built";
    daemon_.Start();
  }

  void Link() { ASSERT_FALSE(daemon_.Request("link").hasMember("error")); }

  // An "add_session" request for session `id` with folders s<id>/local and
  // s<id>/config, which are created with open rule files.
  PObject AddRequest(uint64_t id) {
    std::string base = "s" + std::to_string(id);
    testing::WriteOpenRuleFiles(dir_, base + "/config");
    std::filesystem::create_directories(dir_.Join(base + "/local"));
    PObject add;
    add["connection_id"] = 1;
    add["session_id"] = static_cast<unsigned long long>(id);
    add["view_id"] = static_cast<unsigned long long>(id * 10);
    add["config_path"] = dir_.Join(base + "/config");
    add["sync_folder"] = dir_.Join(base + "/local");
    return add;
  }

  PObject Add(uint64_t id) { return daemon_.Request("add_session", AddRequest(id)); }

  PObject Status() { return daemon_.Request("get_status"); }

  // The status entry of one session, or null.
  PObject SessionStatus(uint64_t id) {
    const PObject status = Status();
    for (const PObject& s : status["session_list"].asArray()) {
      if (s["session_id"].asUInt64() == id) return s;
    }
    return PObject();
  }

  static PObject Id(uint64_t id) {
    PObject m;
    m["session_id"] = static_cast<unsigned long long>(id);
    return m;
  }

  TempDir dir_;
  UiEndpoint ui_;
  DaemonProcess daemon_{dir_, ui_};
};

TEST_F(SessionActionsTest, AddSessionRefusesMissingKeysAndUnusableFolders) {
  Link();
  // Each required key missing in turn.
  for (const char* key : {"connection_id", "session_id", "view_id", "config_path", "sync_folder"}) {
    PObject add = AddRequest(1);
    add.asMap().erase(ustring(key));
    EXPECT_EQ(ustring("Invalid parameters."), daemon_.Request("add_session", add)["error"].asString()) << key;
  }
  dir_.WriteFile("plain-file", "x");
  std::filesystem::create_symlink(dir_.Join("s1/local"), dir_.Join("link-to-local"));
  struct Case {
    const char* what;
    const char* key;
    std::string value;
  };
  const std::vector<Case> cases = {
      {"a sync folder that does not exist", "sync_folder", dir_.Join("missing")},
      {"a sync folder that is a file", "sync_folder", dir_.Join("plain-file")},
      {"a sync folder that is a symbolic link", "sync_folder", dir_.Join("link-to-local")},
      {"a config folder that does not exist", "config_path", dir_.Join("missing")},
      {"a config folder without rule files", "config_path", dir_.Join("s1/local")},
  };
  for (const Case& c : cases) {
    PObject add = AddRequest(1);
    add[c.key] = c.value;
    EXPECT_EQ(ustring("Failed to create registry entry."), daemon_.Request("add_session", add)["error"].asString())
        << c.what;
  }
  EXPECT_FALSE(Status().hasMember("session_list"));
  EXPECT_TRUE(daemon_.WaitForLog("local watch folder (" + dir_.Join("missing") + ") is not a directory"));
  EXPECT_TRUE(daemon_.WaitForLog("local config folder (" + dir_.Join("missing") + ") is not a directory"));
  EXPECT_TRUE(daemon_.WaitForLog("Failed to load black list filter for session 1"));
}

TEST_F(SessionActionsTest, ANewSessionStartsPausedAndIsRemovedOnlyWhilePaused) {
  Link();
  dir_.WriteFile("s4/local/.VeltronaWorkingDirectory/stale.tmp", "left over from the last run");
  ASSERT_FALSE(Add(4).hasMember("error"));
  // The working folder starts empty, with its recycle folder; the database
  // and its signature folder are in place.
  EXPECT_FALSE(Exists(dir_.Join("s4/local/.VeltronaWorkingDirectory/stale.tmp")));
  EXPECT_TRUE(Exists(dir_.Join("s4/local/.VeltronaWorkingDirectory/#VeltRecycle")));
  EXPECT_TRUE(Exists(dir_.Join("s4/config/db/event-db.sqlite")));
  EXPECT_TRUE(Exists(dir_.Join("s4/config/db/sign")));
  EXPECT_EQ(ustring("paused"), SessionStatus(4)["state"].asString());
  EXPECT_TRUE(daemon_.WaitForLog("rescan syncfolder for session '4' do_merge[1]."));

  // Registering the same session again would wipe its working folder.
  EXPECT_EQ(ustring("Failed to create registry entry."), Add(4)["error"].asString());

  EXPECT_FALSE(daemon_.Request("remove_session", Id(4)).hasMember("error"));
  EXPECT_TRUE(SessionStatus(4).isNull());
  EXPECT_TRUE(Exists(dir_.Join("s4/config/db/event-db.sqlite"))) << "removal keeps the files";

  ASSERT_FALSE(Add(4).hasMember("error"));
  EXPECT_FALSE(daemon_.Request("resume", Id(4)).hasMember("error"));
  EXPECT_EQ(ustring("ok"), SessionStatus(4)["state"].asString());
  EXPECT_EQ(ustring("Remove session without puase"), daemon_.Request("remove_session", Id(4))["error"].asString());
  EXPECT_FALSE(daemon_.Request("pause", Id(4)).hasMember("error"));
  EXPECT_FALSE(daemon_.Request("remove_session", Id(4)).hasMember("error"));
  EXPECT_EQ(ustring("Invalid session."), daemon_.Request("remove_session", Id(4))["error"].asString());
}

TEST_F(SessionActionsTest, PauseAndResumeWithoutASessionReachEverySession) {
  Link();
  for (uint64_t id : {3, 5, 9}) ASSERT_FALSE(Add(id).hasMember("error"));
  PObject sync_mode = AddRequest(11);
  sync_mode["sync_mode"] = 1;
  ASSERT_FALSE(daemon_.Request("add_session", sync_mode).hasMember("error"));
  EXPECT_TRUE(daemon_.WaitForLog("rescan syncfolder for session '11' do_merge[0]."));

  daemon_.Request("resume");
  for (uint64_t id : {3, 5, 9, 11}) EXPECT_EQ(ustring("ok"), SessionStatus(id)["state"].asString()) << id;
  daemon_.Request("pause");
  for (uint64_t id : {3, 5, 9, 11}) EXPECT_EQ(ustring("paused"), SessionStatus(id)["state"].asString()) << id;
  // Sessions come in ascending order.
  const PObject status = Status();
  ASSERT_EQ(4u, status["session_list"].size());
  EXPECT_EQ(3u, status["session_list"][0]["session_id"].asUInt64());
  EXPECT_EQ(11u, status["session_list"][3]["session_id"].asUInt64());

  // Removing all: the session resumed alone stays, and says why.
  daemon_.Request("resume", Id(5));
  EXPECT_EQ(ustring("Remove session without puase"), daemon_.Request("unlink_connection")["error"].asString());
  const PObject left = Status();
  ASSERT_EQ(1u, left["session_list"].size());
  EXPECT_EQ(5u, left["session_list"][0]["session_id"].asUInt64());
}

TEST_F(SessionActionsTest, LinkingTwiceOrAddingUnlinkedIsRefused) {
  EXPECT_EQ(ustring("Failed to create registry entry."), Add(2)["error"].asString());
  Link();
  EXPECT_EQ(ustring("Already linked"), daemon_.Request("link")["error"].asString());
  ASSERT_FALSE(Add(2).hasMember("error"));
  // Unlinking drops the sessions; linking again starts afresh.
  EXPECT_FALSE(daemon_.Request("unlink").hasMember("error"));
  EXPECT_FALSE(Status().hasMember("session_list"));
  Link();
  ASSERT_FALSE(Add(2).hasMember("error"));
}

TEST_F(SessionActionsTest, ABrokenSystemFilterFailsTheLink) {
  dir_.WriteFile("system.filter", "[Common]\nblack_name = \"x\" \"y\"\n");
  EXPECT_EQ(ustring("Failed to initialize environment"), daemon_.Request("link")["error"].asString());
  EXPECT_TRUE(daemon_.WaitForLog("Failed to load system filter from " + dir_.Join("system.filter")));
  dir_.WriteFile("system.filter", "");
  Link();
}

TEST_F(SessionActionsTest, TheConnectionPoolIsNeverMissingNorReplacedUnseen) {
  PObject conn;
  conn["connection_id"] = 42;
  conn["server_ip"] = "127.0.0.1";
  conn["server_port"] = 9;
  conn["session"] = "token";
  conn["use_ssl"] = 0;
  EXPECT_EQ(ustring("No connection to reload"), daemon_.Request("reload_connection", conn)["error"].asString());
  EXPECT_FALSE(Status().hasMember("connection_list"));
  for (const char* key : {"connection_id", "server_ip", "server_port", "session"}) {
    PObject partial = conn;
    partial.asMap().erase(ustring(key));
    EXPECT_EQ(ustring("Invalid parameters"), daemon_.Request("link_connection", partial)["error"].asString()) << key;
  }
  EXPECT_FALSE(daemon_.Request("link_connection", conn).hasMember("error"));
  const PObject status = Status();
  ASSERT_EQ(1u, status["connection_list"].size());
  EXPECT_EQ(42u, status["connection_list"][0]["connection_id"].asUInt64());
  EXPECT_EQ(ustring("disconnected"), status["connection_list"][0]["status"].asString());
  EXPECT_EQ(ustring("Connection already linked"), daemon_.Request("link_connection", conn)["error"].asString());
  conn["server_port"] = 10;
  EXPECT_FALSE(daemon_.Request("reload_connection", conn).hasMember("error"));
  // Unlinking destroys the pool.
  daemon_.Request("unlink");
  EXPECT_FALSE(Status().hasMember("connection_list"));
}

TEST_F(SessionActionsTest, ReloadSessionChecksItsSessionAndAppliesTheEditedRules) {
  Link();
  dir_.WriteFile("s6/local/Big/movie.bin", "large");
  dir_.WriteFile("s6/local/keep.txt", "small");
  ASSERT_FALSE(Add(6).hasMember("error"));
  EXPECT_EQ(ustring("Invalid parameter"), daemon_.Request("reload_session")["error"].asString());
  EXPECT_EQ(ustring("Invalid session."), daemon_.Request("reload_session", Id(99))["error"].asString());
  daemon_.Request("resume", Id(6));
  EXPECT_EQ(ustring("Reload session without puase"), daemon_.Request("reload_session", Id(6))["error"].asString());
  daemon_.Request("pause", Id(6));

  // A rule file that cannot be read: both lists keep their rules, and the
  // reply names the last failure.
  dir_.WriteFile("s6/config/conf/blacklist.filter", "[Common]\nblack_name = \"x\" \"y\"\n");
  EXPECT_EQ(ustring("Failed to reload filter."), daemon_.Request("reload_session", Id(6))["error"].asString());
  EXPECT_TRUE(daemon_.WaitForLog("failed to reload black list filter for sesion 6"));

  // A new selective-sync path rule: the excluded folder leaves the sync
  // folder for the trash, the rest stays.
  dir_.WriteFile("s6/config/conf/blacklist.filter",
                 "[Common]\nblack_path_prefix_selective_sync = \"/Big\"\n");
  EXPECT_FALSE(daemon_.Request("reload_session", Id(6)).hasMember("error"));
  EXPECT_FALSE(Exists(dir_.Join("s6/local/Big")));
  EXPECT_TRUE(Exists(dir_.Join("s6/local/keep.txt")));
  EXPECT_TRUE(Exists(dir_.Join("home/.local/share/Trash/files/Big/movie.bin")));
}

TEST_F(SessionActionsTest, AFloodOfLocalChangesReachesTheUserInterfaceCoalesced) {
  Link();
  ASSERT_FALSE(Add(8).hasMember("error"));
  daemon_.Request("resume", Id(8));
  constexpr int kFiles = 300;
  for (int i = 0; i < kFiles; ++i) dir_.WriteFile("s8/local/f" + std::to_string(i), "x");
  // Every created file is one syncing notice; the user interface gets few
  // notices whose counts add up to all of them.
  auto total = [](const std::vector<PObject>& received) {
    uint64_t n = 0;
    for (const PObject& notice : received) {
      if (notice["notify"].asString() != ustring("syncing_file") || notice["session_id"].asUInt64() != 8) continue;
      n += notice.hasMember("count") ? notice["count"].asUInt64() : 1;
    }
    return n;
  };
  ASSERT_TRUE(ui_.WaitUntil([&](const std::vector<PObject>& received) { return total(received) >= kFiles; }));
  size_t notices = 0;
  for (const PObject& notice : ui_.Notices()) notices += notice["notify"].asString() == ustring("syncing_file");
  EXPECT_LT(notices, 40u) << "notices were not coalesced";
  // Nothing consumes the events yet: the session reports every file as
  // work waiting, once the detector has seen them all.
  PObject session = SessionStatus(8);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (session["unfinished_files"].asInt32() < kFiles && std::chrono::steady_clock::now() < deadline) {
    ::poll(nullptr, 0, 20);  // between two status requests
    session = SessionStatus(8);
  }
  EXPECT_EQ(ustring("syncing"), session["status"].asString());
  EXPECT_GE(session["unfinished_files"].asInt32(), kFiles);
}

// CPU time (user + system) the process has used, in clock ticks.
long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Fields after the command name, which ends with the last ")".
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long utime = 0;
  long stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

TEST_F(SessionActionsTest, APausedSessionWithWorkWaitingLeavesTheDaemonIdle) {
  Link();
  for (int i = 0; i < 300; ++i) dir_.WriteFile("s12/local/f" + std::to_string(i), "x");
  ASSERT_FALSE(Add(12).hasMember("error"));
  // The first rescan runs in a paused session too; its uploads then wait.
  daemon_.WaitForStatus([](const PObject& s) { return s["session_list"][0]["unfinished_files"].asInt32() >= 300; });
  // Nothing may spin while the session stays paused: over three seconds
  // the daemon uses far less than one core.
  const long ticks_per_second = ::sysconf(_SC_CLK_TCK);
  const long before = CpuTicks(daemon_.pid());
  auto began = std::chrono::steady_clock::now();
  ::poll(nullptr, 0, 3000);  // the measuring window, not a synchronisation
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const double cpu = static_cast<double>(CpuTicks(daemon_.pid()) - before) / static_cast<double>(ticks_per_second);
  EXPECT_LT(cpu, 0.25 * wall) << cpu << " s of CPU in " << wall << " s";
  EXPECT_EQ(ustring("paused"), SessionStatus(12)["state"].asString());
}

}  // namespace
}  // namespace tidewell
