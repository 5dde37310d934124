// The removal guard in the engine, against the real server: a session
// folder lost in each way a user loses one removes nothing on the server,
// comes back without harm, and a mass deletion (found by a rescan, seen
// live, or as one folder) is held until the user confirms it.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/engine_harness.h"
#include "common/server_client.h"
#include "session/session_state.h"
#include "sync/detector.h"
#include "sync/removal_guard.h"

namespace tidewell {
namespace {

namespace fs = std::filesystem;
using testing::EngineClient;
using testing::ServerClient;
using testing::ServerProcess;

Event LocalRemoval(uint64_t sess, const std::string& path, bool dir = false) {
  Event e;
  e.m_type = Event::EV_REMOVE;
  e.m_mode = dir ? Event::F_DIR : 0;
  e.m_sess_id = sess;
  e.m_path = ustring(path);
  return e;
}

// What the server holds: path -> content hash ("" for folders).
std::map<std::string, std::string> ServerFiles(ServerProcess& server, const std::string& below = "/") {
  ServerClient peer(server);
  PObject reply = peer.Pull(0, below);
  std::map<std::string, std::string> out;
  for (const PObject& e : reply["event_list"].asArray())
    out[std::string(e["path"].asStringRef().utf8_view())] = std::string(e["file"]["hash"].asStringRef().utf8_view());
  return out;
}

class RemovalGuardEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.Start()); }

  // `n` files under /d synchronised to the server through the engine.
  void SyncFiles(EngineClient& client, int n, const std::string& remote = "/") {
    for (int i = 0; i < n; ++i) client.Write("/d/f" + std::to_string(i), "content " + std::to_string(i));
    client.events().IssueRescan(client.sess_id(), ustring("/"), false);
    client.StartWorkers();
    ASSERT_TRUE(client.AwaitIdle());
    ASSERT_EQ(static_cast<size_t>(n) + 1, ServerFiles(server, remote).size());
  }

  SessionStateTable::Status Status(EngineClient& client) {
    SessionStateTable::Status s;
    client.env().session_state.Get(client.sess_id(), s);
    return s;
  }

  ServerProcess server;
};

TEST_F(RemovalGuardEngineTest, ALostFolderRemovesNothingOnTheServer) {
  struct Row {
    const char* what;
    void (*lose)(const std::string& root);
  };
  const Row rows[] = {
      // An unmounted disk: another (empty) folder where the session's was.
      {"replaced by an empty folder", [](const std::string& r) {
         fs::rename(r, r + ".mounted");
         fs::create_directories(r);
       }},
      {"replaced by a folder with a working folder", [](const std::string& r) {
         fs::rename(r, r + ".mounted");
         fs::create_directories(r);
         Detector::CreateWorkingDirectory(ustring(r));
       }},
      {"emptied with its working folder", [](const std::string& r) {
         fs::rename(r + "/d", r + ".mounted");
         fs::rename(r + "/.VeltronaWorkingDirectory", r + ".working");
         Detector::CreateWorkingDirectory(ustring(r));
       }},
      {"working folder vanished", [](const std::string& r) {
         fs::rename(r + "/.VeltronaWorkingDirectory", r + ".working");
         for (int i = 0; i < 20; ++i) fs::remove(r + "/d/f" + std::to_string(i));
       }},
  };
  uint64_t sess = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ++sess;
    const std::string remote = "/s" + std::to_string(sess);
    EngineClient client(server, {.sess_id = sess, .remote_path = remote});
    SyncFiles(client, 30, remote);
    const auto before = ServerFiles(server, remote);
    client.StopWorkers();

    row.lose(client.root());
    // The detector's removals and a rescan, as after a change notice.
    for (int i = 0; i < 30; ++i)
      client.events().PushLocalEvent(LocalRemoval(client.sess_id(), "/d/f" + std::to_string(i)));
    client.events().PushLocalEvent(LocalRemoval(client.sess_id(), "/d", true));
    client.events().IssueRescan(client.sess_id(), ustring("/"), false);
    client.StartWorkers();
    ASSERT_TRUE(client.Await([&] { return Status(client).state == SessionStateTable::kError; },
                             "the session shows an error"));
    // Whatever the workers still do, no removal leaves.
    ASSERT_TRUE(client.Await(
        [&] {
          return client.env().removal_guard.HeldRemovals(client.sess_id()) > 0 ||
                 client.events().GetAllPendingEventCount(client.sess_id()) > 0;
        },
        "the removals are kept"));
    client.StopWorkers();
    EXPECT_EQ(before, ServerFiles(server, remote));
    ClientFileEventInfo info;
    EXPECT_EQ(1, client.Record("/d/f0", info)) << "the records stay";
    EXPECT_GE(client.notices().Count("session_error"), 1);
  }
}

TEST_F(RemovalGuardEngineTest, AFolderBackInPlaceResumesWithoutRemovingAnything) {
  EngineClient client(server);
  SyncFiles(client, 20);
  const auto before = ServerFiles(server);
  client.StopWorkers();
  const std::string r = client.root();
  fs::rename(r, r + ".mounted");
  fs::create_directories(r);
  Detector::CreateWorkingDirectory(ustring(r));
  client.events().IssueRescan(client.sess_id(), ustring("/"), false);
  client.events().PushLocalEvent(LocalRemoval(client.sess_id(), "/d", true));
  client.StartWorkers();
  ASSERT_TRUE(client.Await([&] { return Status(client).state == SessionStateTable::kError; }, "error shown"));
  client.StopWorkers();

  fs::remove_all(r);
  fs::rename(r + ".mounted", r);  // mounted again
  client.events().IssueRescan(client.sess_id(), ustring("/"), false);
  client.StartWorkers();
  ASSERT_TRUE(client.Await([&] { return Status(client).state == SessionStateTable::kOk; }, "error ended"));
  ASSERT_TRUE(client.AwaitIdle());
  EXPECT_EQ(before, ServerFiles(server));
  EXPECT_EQ(0u, client.env().removal_guard.HeldRemovals(client.sess_id()));
}

TEST_F(RemovalGuardEngineTest, AMassDeletionIsHeldUntilTheUserConfirms) {
  EngineClient client(server);
  SyncFiles(client, 150);
  client.StopWorkers();
  for (int i = 0; i < 120; ++i) fs::remove(client.Path("/d/f" + std::to_string(i)));

  // Found by a rescan (changes made while the daemon was stopped).
  client.events().IssueRescan(client.sess_id(), ustring("/"), false);
  client.StartWorkers();
  ASSERT_TRUE(client.AwaitIdle());
  SessionStateTable::Status s = Status(client);
  EXPECT_EQ(SessionStateTable::kHeld, s.state);
  EXPECT_EQ(120u, s.held_removals);
  EXPECT_NE(std::string::npos, std::string(s.last_error.utf8_view()).find("delete 120 of its 151")) << s.last_error.c_str_utf8();
  EXPECT_EQ(151u, ServerFiles(server).size()) << "nothing removed before the user confirms";

  EXPECT_EQ(120, client.env().removal_guard.ConfirmRemovals(client.sess_id()));
  ASSERT_TRUE(client.AwaitIdle());
  EXPECT_EQ(31u, ServerFiles(server).size());
  EXPECT_EQ(SessionStateTable::kOk, Status(client).state);
  ClientFileEventInfo info;
  EXPECT_EQ(0, client.Record("/d/f0", info));
  EXPECT_EQ(1, client.Record("/d/f149", info));
}

TEST_F(RemovalGuardEngineTest, LiveRemovalsStopAtTheLineAndAFolderCountsItsContent) {
  EngineClient client(server);
  SyncFiles(client, 150);
  // The detector's removals of 120 files, one by one: 100 go, the rest wait.
  for (int i = 0; i < 120; ++i) {
    fs::remove(client.Path("/d/f" + std::to_string(i)));
    client.events().PushLocalEvent(LocalRemoval(client.sess_id(), "/d/f" + std::to_string(i)));
  }
  ASSERT_TRUE(client.AwaitIdle());
  EXPECT_EQ(51u, ServerFiles(server).size());
  EXPECT_EQ(20u, client.env().removal_guard.HeldRemovals(client.sess_id()));
  EXPECT_EQ(SessionStateTable::kHeld, Status(client).state);
  EXPECT_EQ(20, client.env().removal_guard.ConfirmRemovals(client.sess_id()));
  ASSERT_TRUE(client.AwaitIdle());
  EXPECT_EQ(31u, ServerFiles(server).size());

  // Later (a new window), one folder holding 31 of 31 records: small
  // enough to go.
  client.env().removal_guard.SetWindow(std::chrono::milliseconds(0));
  fs::remove_all(client.Path("/d"));
  client.events().PushLocalEvent(LocalRemoval(client.sess_id(), "/d", true));
  ASSERT_TRUE(client.AwaitIdle());
  EXPECT_EQ(0u, ServerFiles(server).size());
}

TEST_F(RemovalGuardEngineTest, AFolderRemovalIsWeighedByEverythingBelowIt) {
  EngineClient client(server);
  SyncFiles(client, 150);
  fs::remove_all(client.Path("/d"));
  client.events().PushLocalEvent(LocalRemoval(client.sess_id(), "/d", true));
  ASSERT_TRUE(client.AwaitIdle());
  EXPECT_EQ(151u, ServerFiles(server).size());
  EXPECT_EQ(151u, Status(client).held_removals);
  EXPECT_EQ(1, client.env().removal_guard.ConfirmRemovals(client.sess_id()));
  ASSERT_TRUE(client.AwaitIdle());
  EXPECT_EQ(0u, ServerFiles(server).size());
}

}  // namespace
}  // namespace tidewell
