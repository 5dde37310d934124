// The selective-sync resume puller against the real server: a loosened rule
// pulls exactly the items it kept out, from the sync id it was in force
// since, while the regular puller leaves the session alone; conditions of
// every rule type; a paused session's condition does not hold back others.

#include "sync/progress_syncer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/error_code.h"
#include "common/engine_harness.h"
#include "common/puller_util.h"
#include "common/server_client.h"
#include "common/server_process.h"
#include "db/file_event_db.h"
#include "db/filter_db.h"
#include "db/progress_cache.h"
#include "db/selective_sync.h"
#include "filter/filter.h"
#include "sync/syncer.h"

namespace tidewell {
namespace {

using testing::Drain;
using testing::EngineClient;
using testing::LogFile;
using testing::ServerClient;
using testing::ServerProcess;

class ProgressSyncerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.Start()); }

  // Records a loosened rule as the session control does.
  uint64_t Loosen(EngineClient& client, uint64_t sess, uint64_t sync_id, int type, const std::string& desc) {
    ResumeCondition cond{sess, sync_id, type, ustring(desc)};
    uint64_t row = 0;
    EXPECT_EQ(0, client.filter_db().setResumeCondition(cond, row));
    cache.addProgressEntry(row, cond);
    return row;
  }
  bool Pending(EngineClient& client, uint64_t sess) {
    std::list<std::pair<uint64_t, ResumeCondition>> conds;
    EXPECT_EQ(0, client.filter_db().getResumeConditionsBySession(sess, conds));
    return !conds.empty() || cache.isInProgrssCache(sess);
  }
  static std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  }

  ServerProcess server;
  testing::TempDir dir;
  ProgressCache cache;
};

TEST_F(ProgressSyncerTest, LooseningARulePullsWhatItKeptOutBeforeTheRegularPullerGoesOn) {
  ServerClient other(server);
  ASSERT_FALSE(other.Upload("/a.iso", "image").hasMember("error"));
  ASSERT_FALSE(other.Upload("/b.txt", "text").hasMember("error"));
  const uint64_t seen = other.SyncIdOf("/b.txt");
  EngineClient client(server);
  // The session was up to date while ".iso" was excluded, since id 0.
  ASSERT_EQ(0, client.db().setSyncId(seen));
  Loosen(client, 1, 0, FILTER_EXT_SELECTIVE_SYNC, "iso");
  ASSERT_FALSE(other.Upload("/c.txt", "later").hasMember("error"));

  LogFile log(dir);
  Drain drain(client);
  // The regular puller runs too, on the process-wide cache the session
  // control fills; this test's cache stands in for it in both tasks.
  ProgressSyncer resume(client.env(), cache);
  ASSERT_EQ(0, resume.Run());
  ASSERT_TRUE(client.Await([&] { return !Pending(client, 1); }, "the condition completed"));
  EXPECT_EQ(std::vector<std::string>{"/a.iso"}, drain.paths()) << "only what the rule kept out";
  EXPECT_EQ(seen, client.stored_sync_id()) << "the session's own id is not the resume's";
  log.Await("already uptodate for current event pull condition.");
}

TEST_F(ProgressSyncerTest, TheRegularPullerSkipsASessionUntilItsResumeIsDone) {
  ServerClient other(server);
  ASSERT_FALSE(other.Upload("/x.iso", "image").hasMember("error"));
  EngineClient client(server);
  ResumeCondition cond{1, 0, FILTER_EXT_SELECTIVE_SYNC, ustring("iso")};
  uint64_t row = 0;
  ASSERT_EQ(0, client.filter_db().setResumeCondition(cond, row));
  ProgressCache::getInstance().addProgressEntry(row, cond);  // the one the regular puller reads

  LogFile log(dir);
  Drain drain(client);
  Syncer regular(client.env());
  ASSERT_EQ(0, regular.Run());
  log.Await("session '1' is in ProgrssCache.", 2);
  EXPECT_TRUE(drain.paths().empty()) << "nothing pulled while the resume is due";
  ProgressSyncer resume(client.env());
  ASSERT_EQ(0, resume.Run());
  ASSERT_TRUE(client.Await([&] { return client.stored_sync_id() == other.SyncIdOf("/x.iso"); }, "regular pull"));
  const auto paths = drain.paths();
  ASSERT_FALSE(paths.empty());
  EXPECT_EQ("/x.iso", paths.front());
  EXPECT_FALSE(ProgressCache::getInstance().isInProgrssCache(1));
}

TEST_F(ProgressSyncerTest, SelectiveSyncEndToEndWithTheWorkers) {
  // Loosening a rule brings what it kept out into the folder; tightening a
  // path rule sends the local folder to the trash and keeps further server
  // changes below it out.
  setenv("XDG_DATA_HOME", dir.Join("xdg").c_str(), 1);
  ASSERT_EQ(0, FilterDB::getInstance().initialize(ustring(dir.Join("process-filter.sqlite"))));
  ServerClient other(server);
  ASSERT_FALSE(other.Upload("/a.iso", "image").hasMember("error"));
  ASSERT_FALSE(other.Upload("/b.txt", "text").hasMember("error"));
  ASSERT_FALSE(other.Upload("/Big/data.bin", "big data").hasMember("error"));
  EngineClient client(server);
  dir.WriteFile("tight.filter", "[File]\nblack_ext_selective_sync = \"iso\"\n");
  ASSERT_EQ(0, client.entry().black_list->Load(ustring(dir.Join("tight.filter"))));
  client.StartWorkers(2);
  Syncer syncer(client.env());
  ProgressSyncer resume(client.env());
  ASSERT_EQ(0, syncer.Run());
  ASSERT_EQ(0, resume.Run());
  ASSERT_TRUE(client.Await([&] { return client.stored_sync_id() == other.SyncIdOf("/Big/data.bin"); }, "synced"));
  ASSERT_TRUE(client.AwaitIdle());
  EXPECT_EQ("text", client.Read("/b.txt"));
  EXPECT_FALSE(client.Exists("/a.iso")) << "kept out by the extension rule";

  // Loosened: the session control drops the rule and records the resume.
  dir.WriteFile("loose.filter", "[Common]\nblack_path_prefix_selective_sync = \"/Big\"\n");
  ASSERT_EQ(0, client.entry().black_list->Load(ustring(dir.Join("loose.filter"))));
  ResumeCondition cond{1, 0, FILTER_EXT_SELECTIVE_SYNC, ustring("iso")};
  uint64_t row = 0;
  ASSERT_EQ(0, client.filter_db().setResumeCondition(cond, row));
  ProgressCache::getInstance().addProgressEntry(row, cond);
  ASSERT_TRUE(client.Await([&] { return client.Read("/a.iso") == "image"; }, "the resume brought the iso"));
  ASSERT_TRUE(client.Await([&] { return !ProgressCache::getInstance().isInProgrssCache(1); }, "resume done"));

  // Tightened by a path rule: the folder goes to the trash, not away.
  ASSERT_EQ(0, CompareFilterList(1, FILTER_PATH_PREFIX_SELECTIVE_SYNC, {}, {FilterInfo{0, ustring("/Big")}},
                                 ustring(client.root()), &client.db()));
  EXPECT_FALSE(client.Exists("/Big"));
  bool in_trash = false;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir.Join("xdg")))
    in_trash |= e.path().filename() == "data.bin";
  EXPECT_TRUE(in_trash) << "recoverable from the trash";
  ASSERT_FALSE(other.Upload("/Big/more.bin", "more").hasMember("error"));
  ASSERT_FALSE(other.Upload("/after.txt", "after").hasMember("error"));
  ASSERT_TRUE(client.Await([&] { return client.Read("/after.txt") == "after"; }, "a later change arrived"));
  ASSERT_TRUE(client.AwaitIdle());
  EXPECT_FALSE(client.Exists("/Big")) << "changes below the excluded folder stay out";
  resume.StopAndJoin();
  syncer.StopAndJoin();
  FilterDB::getInstance().destroy();
}

TEST_F(ProgressSyncerTest, EveryRuleTypeBecomesItsCondition) {
  ServerClient other(server);
  for (const auto& [path, size] : std::vector<std::pair<std::string, size_t>>{
           {"/docs/in.txt", 10}, {"/docs/sub/deep.txt", 10}, {"/docsx/out.txt", 10},
           {"/m/secret.key", 10}, {"/m/other.key", 10},
           {"/s/small.bin", 50}, {"/s/mid.bin", 500}, {"/s/big.bin", 5000}}) {
    ASSERT_FALSE(other.Upload(path, std::string(size, 'x')).hasMember("error")) << path;
  }
  struct Row {
    int type;
    std::string desc;
    std::vector<std::string> want;
  };
  const std::vector<Row> rows = {
      {FILTER_PATH_PREFIX_SELECTIVE_SYNC, "/docs", {"/docs", "/docs/in.txt", "/docs/sub", "/docs/sub/deep.txt"}},
      {FILTER_NAME_SELECTIVE_SYNC, "secret.key", {"/m/secret.key"}},
      {FILTER_FILE_SIZE_SELECTIVE_SYNC, std::string(EncodeResumeSizeFilterDesc(100, 1000).utf8_view()),
       {"/s/mid.bin"}},
  };
  for (const Row& r : rows) {
    EngineClient client(server);
    Loosen(client, 1, 0, r.type, r.desc);
    Drain drain(client);
    ProgressSyncer resume(client.env(), cache);
    ASSERT_EQ(0, resume.Run());
    ASSERT_TRUE(client.Await([&] { return !Pending(client, 1); }, std::string("condition ") + r.desc));
    EXPECT_EQ(r.want, Sorted(drain.paths())) << r.desc;
  }
}

TEST_F(ProgressSyncerTest, APausedSessionsConditionDoesNotHoldBackAnother) {
  ServerClient other(server);
  ASSERT_FALSE(other.Upload("/one.iso", "1").hasMember("error"));
  EngineClient client(server);
  Registry::Entry paused = client.entry();
  paused.pause = true;
  client.registry().Set(paused);
  // A second session of the same view.
  testing::TempDir second;
  auto db2 = std::make_shared<FileEventDB>();
  ASSERT_EQ(0, db2->initialize(ustring(second.Join("event-db.sqlite"))));
  Registry::Entry e2 = client.entry();
  e2.sess_id = 2;
  e2.pause = false;
  e2.local_path = ustring(second.Join("local"));
  e2.event_db = db2;
  client.registry().Set(e2);
  Loosen(client, 1, 0, FILTER_EXT_SELECTIVE_SYNC, "iso");  // first in the cache
  Loosen(client, 2, 0, FILTER_EXT_SELECTIVE_SYNC, "iso");

  Drain drain(client);
  ProgressSyncer resume(client.env(), cache);
  ASSERT_EQ(0, resume.Run());
  ASSERT_TRUE(client.Await([&] { return !Pending(client, 2); }, "session 2's condition done"));
  EXPECT_TRUE(Pending(client, 1)) << "the paused session's condition waits";
  resume.StopAndJoin();
  client.registry().Remove(2);
  db2->destroy();
}

}  // namespace
}  // namespace tidewell
