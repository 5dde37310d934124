#include "events/event_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/task.h"
#include "events/event_notice.h"
#include "events/sync_status_recorder.h"
#include "session/registry.h"

namespace tidewell {
namespace {

class FakeTask : public Task {
 public:
  int SetAbort(bool abort) override {
    if (abort) ++aborts;
    return 0;
  }
  int aborts = 0;
};

class RecordingStatus : public SyncStatusRecorder {
 public:
  int MarkSyncing(const ustring& p, bool dir) override {
    marked.push_back(std::string(p.utf8_view()) + (dir ? " dir" : " file"));
    return 0;
  }
  int Forget(const ustring& p) override {
    forgotten.push_back(std::string(p.utf8_view()));
    return 0;
  }
  std::vector<std::string> marked, forgotten;
};

Event Make(uint64_t sess, Event::Type type, const char* path, bool dir = false) {
  Event e;
  e.m_sess_id = sess;
  e.m_type = type;
  e.m_path = path;
  e.m_mode = dir ? Event::F_DIR : 0;
  return e;
}

class EventManagerTest : public ::testing::Test {
 protected:
  EventManagerTest() : mgr(sessions) {
    for (uint64_t id : {1, 2}) {
      Registry::Entry e;
      e.sess_id = id;
      e.local_path = "/sync/s" + std::to_string(id);
      sessions.Set(e);
    }
    mgr.SetStatusRecorder(&status);
    // As the daemon wires it: the notice item made from the event.
    mgr.SetSyncingReporter([this](const Event& e) {
      UI_IPC::FileItem item = NoticeItem(e);
      reported.push_back(std::to_string(item.sess_id) + ":" + std::string(item.path.utf8_view()) +
                         (item.is_dir ? " dir " : " file ") + std::to_string(item.event_type));
    });
  }

  std::string Pull(Task* t) {
    Event e;
    if (mgr.PullEvent(t, e) != 0) return "-";
    return std::to_string(e.m_sess_id) + ":" + std::string(e.m_path.utf8_view());
  }

  Registry sessions;
  RecordingStatus status;
  EventManager mgr;
  std::vector<std::string> reported;
  FakeTask w1, w2;
};

TEST_F(EventManagerTest, LocalRemoveAbortsUploadAndHandsBackMergedEvent) {
  mgr.PushLocalEvent(Make(1, Event::EV_MODIFY, "/a.txt"));
  Event e;
  ASSERT_EQ(mgr.PullEvent(&w1, e), 0);
  mgr.PushLocalEvent(Make(1, Event::EV_REMOVE, "/a.txt"));
  EXPECT_EQ(w1.aborts, 1);
  Event done = e;
  ASSERT_EQ(mgr.DoneEvent(&w1, done), -1);
  EXPECT_EQ(done.m_type, Event::EV_REMOVE);
  EXPECT_EQ(std::string(done.m_path.utf8_view()), "/a.txt");
  // Nobody else gets it meanwhile; finishing it empties the session.
  EXPECT_EQ(Pull(&w2), "-");
  ASSERT_EQ(mgr.DoneEvent(&w1, done), 0);
  EXPECT_EQ(mgr.GetAllPendingEventCount(1), 0);
}

TEST_F(EventManagerTest, SessionsTakeTurnsEvenWhenBlocked) {
  mgr.PushLocalEvent(Make(1, Event::EV_MODIFY, "/a/x"));
  mgr.PushLocalEvent(Make(1, Event::EV_MODIFY, "/a"/*dir*/, true));
  mgr.PushLocalEvent(Make(2, Event::EV_MODIFY, "/p"));
  mgr.PushLocalEvent(Make(2, Event::EV_MODIFY, "/q"));
  // Repeated changes of one file merge and do not give a session extra turns.
  for (int i = 0; i < 5; ++i) mgr.PushLocalEvent(Make(1, Event::EV_MODIFY, "/a"/*dir*/, true));
  EXPECT_EQ(Pull(&w1), "1:/a");   // the folder goes before what is in it
  EXPECT_EQ(Pull(&w2), "2:/p");
  EXPECT_EQ(Pull(&w2), "-");      // session 1's turn: /a/x waits for /a
  EXPECT_EQ(Pull(&w2), "2:/q");
}

TEST_F(EventManagerTest, UnknownSessionAndInvalidPathAreDropped) {
  mgr.PushLocalEvent(Make(9, Event::EV_MODIFY, "/a"));
  EXPECT_EQ(mgr.GetAllPendingEventCount(9), 0);
  EXPECT_EQ(Pull(&w1), "-");
  mgr.PushServerEvent(Make(1, Event::EV_MODIFY, "/bad\xff"));
  EXPECT_EQ(mgr.GetAllPendingEventCount(1), 0);
  EXPECT_TRUE(status.marked.empty());
  EXPECT_TRUE(reported.empty());
}

TEST_F(EventManagerTest, RescanOfRootReplacesQueuedExpands) {
  mgr.IssueExpand(1, "/a");
  mgr.IssueExpand(1, "/b");
  EXPECT_EQ(mgr.GetAllPendingEventCount(1), 2);
  mgr.IssueRescan(1, "/", true);
  EXPECT_EQ(mgr.GetAllPendingEventCount(1), 1);
  Event e;
  ASSERT_EQ(mgr.PullEvent(&w1, e), 0);
  EXPECT_EQ(e.m_mode, Event::F_DIR | Event::F_EXPAND | Event::F_RESCAN | Event::F_MERGE);
  EXPECT_EQ(std::string(e.m_path.utf8_view()), "/");
  // Expand requests are not items: no syncing marks, no notices.
  EXPECT_TRUE(status.marked.empty());
  EXPECT_TRUE(reported.empty());
}

TEST_F(EventManagerTest, TreeEventsComeBeforeExpandRequests) {
  mgr.IssueExpand(1, "/d");
  mgr.PushLocalEvent(Make(1, Event::EV_CREATE, "/f"));
  EXPECT_EQ(Pull(&w1), "1:/f");
  EXPECT_EQ(Pull(&w2), "1:/d");
}

TEST_F(EventManagerTest, DoneWithoutEventChangesNothing) {
  mgr.PushLocalEvent(Make(1, Event::EV_CREATE, "/f"));
  Event e = Make(1, Event::EV_CREATE, "/f");
  EXPECT_EQ(mgr.DoneEvent(&w1, e), 0);
  EXPECT_EQ(mgr.GetAllPendingEventCount(1), 1);
}

TEST_F(EventManagerTest, PushMarksSyncingAndReports) {
  mgr.PushLocalEvent(Make(1, Event::EV_CREATE, "/d", true));
  mgr.PushServerEvent(Make(2, Event::EV_MODIFY, "/x/y"));
  EXPECT_EQ(status.marked, (std::vector<std::string>{"/sync/s1/d dir", "/sync/s2/x/y file"}));
  EXPECT_EQ(reported, (std::vector<std::string>{"1:/d dir 1", "2:/x/y file 3"}));
  EXPECT_EQ(mgr.GetPendingServerEvent(2), 1);
  EXPECT_EQ(mgr.GetPendingServerEvent(1), 0);
  EXPECT_EQ(mgr.GetPendingServerEvent(5), 0);
}

TEST_F(EventManagerTest, RedoPutsEventBackAndForgetsTheWorker) {
  mgr.PushLocalEvent(Make(1, Event::EV_CREATE, "/f"));
  mgr.PushLocalEvent(Make(1, Event::EV_CREATE, "/g"));
  Event e;
  ASSERT_EQ(mgr.PullEvent(&w1, e), 0);
  ASSERT_EQ(mgr.RedoEvent(&w1, e), 0);
  Event g, f;
  ASSERT_EQ(mgr.PullEvent(&w1, g), 0);
  EXPECT_EQ(std::string(g.m_path.utf8_view()), "/g");
  ASSERT_EQ(mgr.PullEvent(&w2, f), 0);
  EXPECT_EQ(std::string(f.m_path.utf8_view()), "/f");
  ASSERT_EQ(mgr.DoneEvent(&w1, g), 0);
  ASSERT_EQ(mgr.DoneEvent(&w2, f), 0);
  EXPECT_EQ(Pull(&w1), "-");  // session 1 leaves the rotation
  // An expand request can be given back too.
  mgr.IssueExpand(2, "/e");
  ASSERT_EQ(mgr.PullEvent(&w1, e), 0);
  ASSERT_EQ(mgr.RedoEvent(&w1, e), 0);
  EXPECT_EQ(Pull(&w1), "2:/e");
  EXPECT_EQ(mgr.RedoEvent(&w1, Make(1, Event::EV_CREATE, "/none")), -1);
}

TEST_F(EventManagerTest, ItemEventDuringExpansionIsHandedOutOnce) {
  mgr.IssueExpand(1, "/d");
  Event exp;
  ASSERT_EQ(mgr.PullEvent(&w1, exp), 0);
  mgr.PushLocalEvent(Make(1, Event::EV_REMOVE, "/d", true));
  EXPECT_EQ(Pull(&w2), "1:/d");  // the tree hands it out ...
  Event done = exp;
  EXPECT_EQ(mgr.DoneEvent(&w1, done), 0);  // ... and the expander is not given it again
}

TEST_F(EventManagerTest, NewExpandOfSameFolderInterruptsRunningExpander) {
  mgr.IssueExpand(1, "/d");
  Event exp;
  ASSERT_EQ(mgr.PullEvent(&w1, exp), 0);
  mgr.IssueExpand(1, "/d");
  EXPECT_EQ(w1.aborts, 1);
}

TEST_F(EventManagerTest, MergeIntoFolderOfOtherKindDoesNotConfuseWorker) {
  // A file /a is being uploaded; a folder /a appears meanwhile. The worker's
  // item is the file; the folder is separate work.
  mgr.PushLocalEvent(Make(1, Event::EV_CREATE, "/a"));
  Event file;
  ASSERT_EQ(mgr.PullEvent(&w1, file), 0);
  mgr.PushLocalEvent(Make(1, Event::EV_CREATE, "/a", true));
  Event done = file;
  EXPECT_EQ(mgr.DoneEvent(&w1, done), 0);
  EXPECT_EQ(Pull(&w1), "1:/a");
  EXPECT_EQ(mgr.GetAllPendingEventCount(1), 1);
}

TEST_F(EventManagerTest, ClearDropsEverything) {
  mgr.PushLocalEvent(Make(1, Event::EV_CREATE, "/f"));
  Event e;
  ASSERT_EQ(mgr.PullEvent(&w1, e), 0);
  mgr.Clear();
  EXPECT_EQ(mgr.DoneEvent(&w1, e), 0);
  EXPECT_EQ(Pull(&w1), "-");
  EXPECT_EQ(mgr.GetAllPendingEventCount(1), 0);
}

}  // namespace
}  // namespace tidewell

namespace tidewell {
namespace {

// Pushers and workers on several threads: every item is held by at most one
// worker at a time and everything pushed is worked off.
TEST(EventManagerConcurrencyTest, WorkersNeverShareAnItem) {
  Registry sessions;
  for (uint64_t id : {1, 2}) {
    Registry::Entry e;
    e.sess_id = id;
    e.local_path = "/s";
    sessions.Set(e);
  }
  EventManager mgr(sessions);
  std::mutex held_mu;
  std::set<std::string> held;
  std::atomic<bool> pushing{true};
  std::atomic<int> overlaps{0}, finished{0};

  auto key = [](const Event& e) {
    return std::to_string(e.m_sess_id) + (e.IsDir() ? "d" : "f") +
           std::string(e.m_path.utf8_view());
  };
  std::vector<std::thread> threads;
  for (int p = 0; p < 2; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < 3000; ++i) {
        Event e = Make(1 + (i % 2), i % 7 == 0 ? Event::EV_REMOVE : Event::EV_MODIFY,
                       ("/d" + std::to_string(i % 5) + "/f" + std::to_string((i * 7 + p) % 13)).c_str(),
                       false);
        if (i % 11 == 0) e.m_path = ("/d" + std::to_string(i % 5)).c_str(), e.m_mode = Event::F_DIR;
        if (p == 0)
          mgr.PushLocalEvent(e);
        else
          mgr.PushServerEvent(e);
      }
    });
  }
  std::vector<std::unique_ptr<FakeTask>> workers;
  for (int w = 0; w < 3; ++w) workers.push_back(std::make_unique<FakeTask>());
  for (int w = 0; w < 3; ++w) {
    threads.emplace_back([&, w] {
      Task* me = workers[w].get();
      int idle = 0;
      while (pushing || idle < 1000) {
        Event e;
        if (mgr.PullEvent(me, e) != 0) {
          ++idle;
          std::this_thread::yield();
          continue;
        }
        idle = 0;
        for (;;) {
          {
            std::lock_guard<std::mutex> lock(held_mu);
            if (!held.insert(key(e)).second) ++overlaps;
          }
          std::this_thread::yield();
          {
            std::lock_guard<std::mutex> lock(held_mu);
            held.erase(key(e));
          }
          if (mgr.DoneEvent(me, e) == 0) break;
        }
        ++finished;
      }
    });
  }
  threads[0].join();
  threads[1].join();
  pushing = false;
  for (size_t i = 2; i < threads.size(); ++i) threads[i].join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_GT(finished.load(), 100) << "too little work was handed out";
  EXPECT_EQ(mgr.GetAllPendingEventCount(1), 0);
  EXPECT_EQ(mgr.GetAllPendingEventCount(2), 0);
}

}  // namespace
}  // namespace tidewell
