// The server event puller against the real server: paging, storing the next
// sync id only after the workers finished, interrupted batches, up-to-date
// rotation and sleep, server errors and keep-alives. The workers' part is
// played by Drain, which finishes every queued event and records the
// stored sync id it saw, so the puller's own promises can be checked.

#include "sync/syncer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/error_code.h"
#include "common/engine_harness.h"
#include "common/puller_util.h"
#include "common/server_client.h"
#include "common/server_process.h"
#include "db/file_event_db.h"
#include "net/connection_pool.h"
#include "session/session_state.h"

namespace tidewell {
namespace {

using testing::Drain;
using testing::EngineClient;
using testing::LogFile;
using testing::ServerClient;
using testing::ServerProcess;

// The view's newest sync id, read page by page.
uint64_t ViewCounter(ServerClient& c) {
  uint64_t s = 0;
  for (;;) {
    PObject reply = c.Pull(s);
    if (reply["event_list"].size() == 0) return s;
    s = reply["next_sync_id"].asUInt64();
  }
}

class SyncerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.Start()); }

  ServerProcess server;
  testing::TempDir dir;
};

TEST_F(SyncerTest, PullsInPagesAndStoresEachNextIdOnlyAfterTheWorkersFinished) {
  ServerClient other(server);
  ASSERT_FALSE(other.MakeDir("/p").hasMember("error"));
  // More than a page of events, uploaded over several connections at once
  // (the server commits them in groups).
  constexpr int kFiles = 1010;
  constexpr int kUploaders = 8;
  std::vector<std::thread> uploaders;
  std::atomic<int> failed{0};
  for (int u = 0; u < kUploaders; ++u) {
    uploaders.emplace_back([&, u] {
      ServerClient mine(server);
      for (int i = u; i < kFiles; i += kUploaders) {
        char name[32];
        std::snprintf(name, sizeof name, "/p/f%04d", i);
        if (mine.Upload(name, "content " + std::to_string(i)).hasMember("error")) ++failed;
      }
    });
  }
  for (auto& t : uploaders) t.join();
  ASSERT_EQ(0, failed.load());
  const uint64_t last = ViewCounter(other);
  ASSERT_GT(last, 1000u);

  EngineClient client(server);
  Drain drain(client);
  Syncer syncer(client.env());
  ASSERT_EQ(0, syncer.Run());
  ASSERT_TRUE(client.Await([&] { return client.stored_sync_id() == last; }, "the last id stored"));
  syncer.StopAndJoin();

  const auto taken = drain.taken();
  std::set<std::string> paths;
  std::map<uint64_t, std::vector<uint64_t>> by_stored;  // stored id seen -> event ids
  for (const auto& t : taken) {
    paths.insert(std::string(t.event.m_path.utf8_view()));
    EXPECT_TRUE(t.event.IsServerEvent());
    by_stored[t.stored_sync_id].push_back(t.event.m_sync_id);
  }
  EXPECT_EQ(static_cast<size_t>(kFiles + 1), paths.size()) << "every file and the folder, each once";
  // Two pages: the first (1000 events) taken while nothing was stored, the
  // second only after the first page's last id was.
  ASSERT_EQ(2u, by_stored.size());
  const auto& first = by_stored.begin()->second;
  const auto& second = std::next(by_stored.begin())->second;
  EXPECT_EQ(0u, by_stored.begin()->first);
  EXPECT_EQ(1000u, first.size());
  const uint64_t page_end = std::next(by_stored.begin())->first;
  EXPECT_EQ(page_end, *std::max_element(first.begin(), first.end()));
  EXPECT_GT(*std::min_element(second.begin(), second.end()), page_end);
}

TEST_F(SyncerTest, ServerChangesReachTheFolderThroughThePullerAndTheWorkers) {
  ServerClient other(server);
  ASSERT_FALSE(other.Upload("/docs/a.txt", "alpha").hasMember("error"));
  ASSERT_FALSE(other.Upload("/b.txt", "beta").hasMember("error"));
  EngineClient client(server);
  client.StartWorkers(2);
  Syncer syncer(client.env());
  ASSERT_EQ(0, syncer.Run());
  ASSERT_TRUE(client.Await([&] { return client.stored_sync_id() == ViewCounter(other); }, "all stored"));
  EXPECT_EQ("alpha", client.Read("/docs/a.txt"));
  EXPECT_EQ("beta", client.Read("/b.txt"));
  // A later change arrives by the next pull, as a delta or whole.
  ASSERT_FALSE(other.Upload("/b.txt", "beta, edited", other.SyncIdOf("/b.txt")).hasMember("error"));
  ASSERT_TRUE(client.Await([&] { return client.Read("/b.txt") == "beta, edited"; }, "the edit arrived"));
}

TEST_F(SyncerTest, AnInterruptedBatchLeavesTheStoredSyncIdForTheNextPull) {
  ServerClient other(server);
  for (const char* p : {"/a", "/b", "/c"}) ASSERT_FALSE(other.Upload(p, p).hasMember("error"));
  EngineClient client(server);
  LogFile log(dir);
  Syncer syncer(client.env());
  ASSERT_EQ(0, syncer.Run());
  // No workers: the events wait.
  ASSERT_TRUE(client.Await([&] { return client.events().GetPendingServerEvent(1) == 3; }, "three queued"));
  Registry::Entry saved = client.entry();
  client.registry().Remove(1);
  log.Await("session 1 is removed while there are events");
  log.Await("ProcessEvents: interrupted while waiting events being done");
  EXPECT_EQ(0u, client.stored_sync_id());

  // Back, but paused while its events still wait: interrupted again.
  const std::string waiting = "Wait for workers (still 3 pending server events)";
  const int waited = LogFile::Count(log.Text(), waiting);
  client.registry().Set(saved);
  ASSERT_TRUE(log.Await(waiting, waited + 1));
  saved.pause = true;
  client.registry().Set(saved);
  log.Await("session 1 is paused while there are events");
  EXPECT_EQ(0u, client.stored_sync_id());

  // Unpaused with the events carried out: the same batch is pulled again
  // and only now stored.
  saved.pause = false;
  client.registry().Set(saved);
  Drain drain(client);
  ASSERT_TRUE(client.Await([&] { return client.stored_sync_id() == other.SyncIdOf("/c"); }, "stored at last"));
}

TEST_F(SyncerTest, UpToDateSessionsAreServedInTurnThenItSleeps) {
  ServerClient other(server);
  ASSERT_FALSE(other.MakeDir("/two").hasMember("error"));
  EngineClient client(server);
  // A second session of the same view, below /two.
  testing::TempDir second;
  auto db2 = std::make_shared<FileEventDB>();
  ASSERT_EQ(0, db2->initialize(ustring(second.Join("event-db.sqlite"))));
  Registry::Entry e2 = client.entry();
  e2.sess_id = 2;
  e2.local_path = ustring(second.Join("local"));
  e2.remote_path = ustring("/two");
  e2.event_db = db2;
  client.registry().Set(e2);
  client.env().timing.uptodate_ms = 300;

  LogFile log(dir);
  Drain drain(client);
  Syncer syncer(client.env());
  ASSERT_EQ(0, syncer.Run());
  ASSERT_TRUE(log.Await("all session is uptodate", 3));
  ASSERT_FALSE(other.Upload("/two/new.txt", "n").hasMember("error"));
  ASSERT_TRUE(client.Await([&] {
    uint64_t id = 0;
    return db2->getSyncId(id) == 0 && id == other.SyncIdOf("/two/new.txt");
  }, "session 2 stored the new file's id"));
  ASSERT_TRUE(log.Await("all session is uptodate", LogFile::Count(log.Text(), "all session is uptodate") + 2));
  syncer.StopAndJoin();

  // Between two sleeps both sessions answered "nothing new" -- the set is
  // emptied at each sleep, and a session that got events left it.
  const std::string text = log.Text();
  const std::string all = "all session is uptodate";
  const size_t queued = text.find("events queued for session 2");
  ASSERT_NE(std::string::npos, queued);
  size_t prev = text.find(all);
  for (size_t next = text.find(all, prev + 1); next != std::string::npos; prev = next, next = text.find(all, next + 1)) {
    // The stretch since the later of the previous sleep and session 2's
    // batch must hold both sessions' answers.
    size_t from = (queued > prev && queued < next) ? queued : prev;
    std::string stretch = text.substr(from, next - from);
    EXPECT_NE(std::string::npos, stretch.find("session '1' is uptodate")) << stretch;
    EXPECT_NE(std::string::npos, stretch.find("session '2' is uptodate")) << stretch;
  }
  client.registry().Remove(2);
  db2->destroy();
}

TEST_F(SyncerTest, AKeepAliveBeforeTheReplyDoesNotEndThePull) {
  testing::KeepAliveInjector injector(server.port());
  ServerClient other(server);
  ASSERT_FALSE(other.Upload("/k.txt", "k").hasMember("error"));
  EngineClient client(server, {.port = injector.port()});
  Drain drain(client);
  Syncer syncer(client.env());
  ASSERT_EQ(0, syncer.Run());
  ASSERT_TRUE(client.Await([&] { return client.stored_sync_id() == other.SyncIdOf("/k.txt"); }, "stored"));
  EXPECT_GE(injector.injected(), 1);
  EXPECT_EQ(std::vector<std::string>{"/k.txt"}, drain.paths());
}

TEST_F(SyncerTest, ServerErrorsAreMappedActedOnAndReported) {
  // A remote folder the view does not hold: 0x3003, retried quietly.
  {
    EngineClient client(server, {.remote_path = "/missing"});
    LogFile log(dir);
    Syncer syncer(client.env());
    ASSERT_EQ(0, syncer.Run());
    log.Await("Server error(invalid path in view): 12291");
    log.Await("Syncer: HandleError: -20.");
    syncer.StopAndJoin();
    EXPECT_EQ(0u, client.stored_sync_id());
    EXPECT_TRUE(client.notices().Snapshot().empty());
  }
  // An unknown session token: 0x1001 at connect, shown as a connection
  // error.
  {
    EngineClient client(server);
    ConnectionInfo info;
    info.server_ip = "127.0.0.1";
    info.server_port = server.port();
    info.session = "0123456789abcdef0123456789abcdef";
    info.use_ssl = false;
    ConnectionPool wrong(info, ProxyInfo(), TunnelInfo(), 1);
    client.env().pool.store(&wrong);
    {
      Syncer syncer(client.env());
      ASSERT_EQ(0, syncer.Run());
      ASSERT_TRUE(client.Await([&] { return client.notices().Count("connection_error") >= 1; }, "reported"));
    }
    client.env().pool.store(&client.pool());
    EXPECT_EQ(ERR_AUTH, client.notices().Snapshot().front().code);
  }
}

// Waiting pulls, against servers that offer them or not.
class SyncerWaitTest : public ::testing::Test {
 protected:
  // The request the puller logged when it asked the server to hold a pull.
  static constexpr const char* kWaitKey = "\"wait_ms\"";
  // Far below the pull_wait_ms the tests ask for: a pull that ends within it
  // was not ended by the time running out.
  static constexpr testing::Deadline kWithinTheHold{20000};

  ServerProcess server;
  testing::TempDir dir;
};

TEST_F(SyncerWaitTest, WithOneSessionTheServerHoldsThePullInsteadOfThePullerSleeping) {
  ASSERT_TRUE(server.Start());
  ServerClient other(server);
  ASSERT_FALSE(other.Upload("/a.txt", "alpha").hasMember("error"));
  EngineClient client(server);
  client.StartWorkers(2);
  // Only a held pull can bring a later change in time: the sleep after a
  // pass that found nothing would last ten minutes.
  client.env().timing.uptodate_ms = 10 * 60 * 1000;
  LogFile log(dir);
  Syncer syncer(client.env());
  ASSERT_EQ(0, syncer.Run());
  ASSERT_TRUE(client.Await([&] { return client.Exists("/a.txt") && client.Read("/a.txt") == "alpha"; }, "a.txt"));
  ASSERT_TRUE(log.Await(kWaitKey));
  EXPECT_EQ(0, LogFile::Count(log.Text(), "all session is uptodate, wait for"));

  ASSERT_FALSE(other.Upload("/a.txt", "alpha, edited", other.SyncIdOf("/a.txt")).hasMember("error"));
  ASSERT_FALSE(other.Upload("/b.txt", "beta").hasMember("error"));
  ASSERT_TRUE(client.Await([&] { return client.Exists("/b.txt") && client.Read("/b.txt") == "beta"; }, "b.txt"));
  EXPECT_EQ("alpha, edited", client.Read("/a.txt"));
  ASSERT_TRUE(client.Await([&] { return client.stored_sync_id() == other.SyncIdOf("/b.txt"); }, "stored"));
}

TEST_F(SyncerWaitTest, AServerThatOffersNoWaitingNeverSeesTheKeyAndThePullerSleeps) {
  ASSERT_TRUE(server.Start({"--no-pull-wait"}));
  ServerClient other(server);
  ASSERT_FALSE(other.Upload("/a.txt", "alpha").hasMember("error"));
  EngineClient client(server);
  client.env().timing.uptodate_ms = 50;
  LogFile log(dir);
  Drain drain(client);
  Syncer syncer(client.env());
  ASSERT_EQ(0, syncer.Run());
  // Every pass after the first follows one that found nothing new: each
  // would ask to be held if the server had offered it.
  ASSERT_TRUE(log.Await("all session is uptodate, wait for 50 ms", 4));
  syncer.StopAndJoin();
  const std::string text = log.Text();
  EXPECT_GE(LogFile::Count(text, "Syncer: pull event by session 1 "), 5);
  EXPECT_EQ(0, LogFile::Count(text, kWaitKey)) << text;
  EXPECT_EQ(std::vector<std::string>{"/a.txt"}, drain.paths());
}

TEST_F(SyncerWaitTest, APauseCutsAHeldPullShortAndResumeServesAgain) {
  // --verbose: the server logs when it starts holding a pull.
  ASSERT_TRUE(server.Start({"--verbose"}));
  EngineClient client(server);
  client.env().timing.pull_wait_ms = 60000;
  client.env().timing.paused_ms = 50;
  LogFile log(dir);
  Drain drain(client);
  Syncer syncer(client.env());
  ASSERT_EQ(0, syncer.Run());
  auto held = [&] { return LogFile::Count(server.Log(), "waits up to"); };
  ASSERT_TRUE(client.Await([&] { return held() >= 1; }, "the server holds a pull"));

  const int pulls_logged = LogFile::Count(server.Log(), "action=pull_event");
  ASSERT_EQ(0, syncer.Pause());
  // The puller lets go of the pull, and the server sees it go: both well
  // before the 60 s the pull asked for.
  ASSERT_TRUE(log.Await("Syncer: RunProtocol(pull_event): broken off by a pause or stop", 1, kWithinTheHold));
  ASSERT_TRUE(client.Await([&] { return LogFile::Count(server.Log(), "action=pull_event") > pulls_logged; },
                           "the server ended the held pull", kWithinTheHold));

  ASSERT_EQ(0, syncer.Resume());
  ASSERT_TRUE(client.Await([&] { return held() >= 2; }, "held again after the resume"));
  ServerClient other(server);
  ASSERT_FALSE(other.Upload("/after.txt", "x").hasMember("error"));
  ASSERT_TRUE(client.Await([&] { return client.stored_sync_id() == other.SyncIdOf("/after.txt"); },
                           "the change stored", kWithinTheHold));
  EXPECT_EQ(std::vector<std::string>{"/after.txt"}, drain.paths());
}

}  // namespace
}  // namespace tidewell
