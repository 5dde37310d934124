// The removal guard alone on real folders: how it tells a lost session
// folder (and its return), and its counting rule for mass deletions. The
// engine's use of it against the real server is removal_guard_engine_test.

#include "sync/removal_guard.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/engine_harness.h"
#include "common/temp_dir.h"
#include "session/session_state.h"
#include "sync/detector.h"

namespace tidewell {
namespace {

namespace fs = std::filesystem;
using testing::RecordingNotices;
using testing::TempDir;

Event LocalRemoval(uint64_t sess, const std::string& path, bool dir = false) {
  Event e;
  e.m_type = Event::EV_REMOVE;
  e.m_mode = dir ? Event::F_DIR : 0;
  e.m_sess_id = sess;
  e.m_path = ustring(path);
  return e;
}

// --- the guard alone ------------------------------------------------------------

class RemovalGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = dir.Join("local");
    fs::create_directories(root);
    fs::create_directories(dir.Join("config/db"));
    ASSERT_EQ(0, Detector::CreateWorkingDirectory(ustring(root)));
    entry.sess_id = 7;
    entry.local_path = root;
    entry.config_path = dir.Join("config");
    registry.Set(entry);
  }

  SessionStateTable::State State() {
    SessionStateTable::Status s;
    state.Get(7, s);
    return s.state;
  }

  TempDir dir;
  std::string root;
  Registry::Entry entry;
  Registry registry;
  EventManager events{registry};
  SessionStateTable state;
  RecordingNotices notices;
  RemovalGuard guard{registry, events, state, notices};
};

TEST_F(RemovalGuardTest, AFolderLostInAnyWayIsTold) {
  struct Row {
    const char* what;
    void (*lose)(const std::string& root);
    bool lost;
  };
  const Row rows[] = {
      // Untouched: the folder the session was set up on.
      {"intact", [](const std::string&) {}, false},
      // A file added or removed is ordinary use.
      {"content changed", [](const std::string& r) { fs::remove(r + "/a.txt"); }, false},
      // The working folder alone deleted and made again: the folder still
      // holds the user's files, so only the marker is written again.
      {"working folder made anew",
       [](const std::string& r) {
         fs::remove_all(r + "/.VeltronaWorkingDirectory");
         Detector::CreateWorkingDirectory(ustring(r));
       },
       false},
      // Folder and working folder emptied, the working folder made again
      // (as the change detector does).
      {"emptied",
       [](const std::string& r) {
         for (const auto& e : fs::directory_iterator(r)) fs::remove_all(e.path());
         Detector::CreateWorkingDirectory(ustring(r));
       },
       true},
      // Moved away and another folder made in its place, even one with a
      // working folder of its own (an unmounted disk's mount point).
      {"replaced",
       [](const std::string& r) {
         fs::rename(r, r + ".old");
         fs::create_directories(r);
         Detector::CreateWorkingDirectory(ustring(r));
         fs::copy_file(r + ".old/a.txt", r + "/a.txt");
       },
       true},
      {"missing", [](const std::string& r) { fs::rename(r, r + ".gone"); }, true},
      {"working folder missing", [](const std::string& r) { fs::remove_all(r + "/.VeltronaWorkingDirectory"); },
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir d;
    const std::string r = d.Join("local");
    fs::create_directories(r);
    fs::create_directories(d.Join("config/db"));
    ASSERT_EQ(0, Detector::CreateWorkingDirectory(ustring(r)));
    d.WriteFile("local/a.txt", "a");
    d.WriteFile("local/b.txt", "b");
    Registry::Entry e = entry;
    e.local_path = r;
    e.config_path = d.Join("config");
    registry.Set(e);
    ASSERT_EQ(0, guard.CheckRoot(e));  // first look: the folder is remembered

    // A guard of a new process reads what the first one wrote.
    RemovalGuard fresh(registry, events, state, notices);
    row.lose(r);
    EXPECT_EQ(row.lost ? -1 : 0, fresh.CheckRoot(e));
    EXPECT_EQ(row.lost, fresh.RootLost(7));
    SessionStateTable::Status s;
    state.Get(7, s);
    EXPECT_EQ(row.lost ? SessionStateTable::kError : SessionStateTable::kOk, s.state) << s.last_error.c_str_utf8();
    if (row.lost) {
      EXPECT_NE(std::string::npos, std::string(s.last_error.utf8_view()).find(r)) << "the error names the folder";
      // A removal for the lost folder is kept, not sent.
      EXPECT_EQ(RemovalGuard::kRootLost, fresh.AdmitRemoval(e, LocalRemoval(7, "/a.txt"), 1, 2));
      EXPECT_EQ(RemovalGuard::kRootLost, fresh.AdmitRescan(e, {LocalRemoval(7, "/b.txt")}, 2));
      EXPECT_EQ(1u, fresh.HeldRemovals(7));
    }
    state.Clear(7);
  }
  EXPECT_EQ(4, notices.Count("session_error"));  // one per lost folder, not one per look
}

TEST_F(RemovalGuardTest, AFolderThatComesBackEndsTheErrorAndRequeuesWhatWasKept) {
  fs::create_directories(root + "/d");
  ASSERT_EQ(0, guard.CheckRoot(entry));
  fs::rename(root, root + ".away");
  EXPECT_EQ(RemovalGuard::kRootLost, guard.AdmitRemoval(entry, LocalRemoval(7, "/d", true), 3, 10));
  EXPECT_EQ(SessionStateTable::kError, State());

  fs::rename(root + ".away", root);  // the disk is mounted again
  EXPECT_EQ(0, guard.CheckRoot(entry));
  EXPECT_FALSE(guard.RootLost(7));
  EXPECT_EQ(SessionStateTable::kOk, State());
  EXPECT_EQ(0u, guard.HeldRemovals(7));
  // The kept removal is queued again to be judged afresh, and the whole
  // session is rescanned.
  EXPECT_EQ(2, events.GetAllPendingEventCount(7));
}

// The counting rule on its own: more than half of the session and more
// than 100 items, over the removals of the window.
TEST_F(RemovalGuardTest, LiveRemovalsAreHeldFromTheOneThatCrossesTheLine) {
  struct Row {
    const char* what;
    uint64_t session_items;  // records before the first removal
    std::vector<uint64_t> removals;  // items of each removal, in order
    size_t sent;             // how many go before the hold
  };
  const Row rows[] = {
      {"a small session may lose everything", 80, std::vector<uint64_t>(80, 1), 80},
      {"100 items always go", 150, std::vector<uint64_t>(100, 1), 100},
      {"the 101st of 150 is held", 150, std::vector<uint64_t>(120, 1), 100},
      {"half of a large session goes", 1000, std::vector<uint64_t>(500, 1), 500},
      {"one more than half is held", 1000, std::vector<uint64_t>(501, 1), 500},
      {"a folder counts what it holds", 1000, {1, 600, 1}, 1},
      {"a folder of 101 in a session of 150", 150, {101}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RemovalGuard g(registry, events, state, notices);
    uint64_t remaining = row.session_items;
    size_t sent = 0;
    bool held = false;
    for (size_t i = 0; i < row.removals.size(); ++i) {
      auto v = g.AdmitRemoval(entry, LocalRemoval(7, "/f" + std::to_string(i)), row.removals[i], remaining);
      if (v == RemovalGuard::kSend) {
        EXPECT_FALSE(held) << "nothing goes after the hold began (removal " << i << ")";
        g.Sent(7, ustring("/f" + std::to_string(i)));
        remaining -= row.removals[i];
        ++sent;
      } else {
        EXPECT_EQ(RemovalGuard::kHeld, v);
        held = true;
      }
    }
    EXPECT_EQ(row.sent, sent);
    EXPECT_EQ(row.removals.size() - row.sent, g.HeldRemovals(7));
    SessionStateTable::Status s;
    state.Get(7, s);
    if (held) {
      EXPECT_EQ(SessionStateTable::kHeld, s.state);
      uint64_t held_items = 0;
      for (size_t i = row.sent; i < row.removals.size(); ++i) held_items += row.removals[i];
      EXPECT_EQ(held_items, s.held_removals);
      const std::string text(s.last_error.utf8_view());
      EXPECT_NE(std::string::npos, text.find("Holding back " + std::to_string(row.removals.size() - row.sent) + " removals"))
          << text;
      uint64_t total = held_items;
      for (size_t i = 0; i < row.sent; ++i) total += row.removals[i];
      EXPECT_NE(std::string::npos, text.find("delete " + std::to_string(total) + " of its")) << text;
    }
    state.Clear(7);
  }
}

TEST_F(RemovalGuardTest, ConfirmedRemovalsAreQueuedAgainAndLetThroughOnce) {
  std::vector<Event> removals;
  for (int i = 0; i < 150; ++i) removals.push_back(LocalRemoval(7, "/f" + std::to_string(i)));
  EXPECT_EQ(RemovalGuard::kHeld, guard.AdmitRescan(entry, removals, 200));
  EXPECT_EQ(150u, guard.HeldRemovals(7));
  // Another removal during the hold waits with the others.
  EXPECT_EQ(RemovalGuard::kHeld, guard.AdmitRemoval(entry, LocalRemoval(7, "/late"), 1, 200));
  EXPECT_EQ(0, events.GetAllPendingEventCount(7));

  EXPECT_EQ(151, guard.ConfirmRemovals(7));
  EXPECT_EQ(151, events.GetAllPendingEventCount(7));
  EXPECT_EQ(SessionStateTable::kOk, State());
  // Each confirmed removal passes, however many there are, until it has
  // reached the server; a retried one passes again.
  for (int i = 0; i < 150; ++i) {
    ustring p("/f" + std::to_string(i));
    ASSERT_EQ(RemovalGuard::kSend, guard.AdmitRemoval(entry, LocalRemoval(7, "/f" + std::to_string(i)), 1, 200 - i));
    if (i == 0) {
      guard.Withdraw(7, p, 1);
      ASSERT_EQ(RemovalGuard::kSend, guard.AdmitRemoval(entry, LocalRemoval(7, "/f0"), 1, 200));
    }
    guard.Sent(7, p);
  }
  // Once sent, a path is judged again like any other.
  EXPECT_EQ(RemovalGuard::kSend, guard.AdmitRemoval(entry, LocalRemoval(7, "/f0"), 1, 50));
  EXPECT_EQ(-1, guard.ConfirmRemovals(99));
}

}  // namespace
}  // namespace tidewell
