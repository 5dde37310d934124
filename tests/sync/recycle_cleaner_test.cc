// The recycle cleaner on a real session folder and event database: nothing
// is deleted before the rotation age, everything due is deleted after it,
// the session's recycle time follows the oldest remaining entry, and a row
// can never make it delete outside the recycle folder.

#include "sync/recycle_cleaner.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/engine_harness.h"
#include "common/server_client.h"
#include "common/server_process.h"
#include "db/file_event_db.h"
#include "sync/syncer.h"

namespace tidewell {
namespace {

using testing::EngineClient;
using testing::ServerProcess;
namespace fs = std::filesystem;

class RecycleCleanerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client = std::make_unique<EngineClient>(server);
    recycle = client->Path("/.VeltronaWorkingDirectory/#VeltRecycle");
  }

  // An item in the recycle folder with its row, as a server removal leaves
  // it; `time` overrides the row's time when not 0.
  void Recycled(const std::string& name, bool dir = false, uint32_t time = 0) {
    if (dir) {
      fs::create_directories(recycle + name + "/inner");
      std::ofstream(recycle + name + "/inner/f") << "f";
    } else {
      std::ofstream(recycle + name) << "content of " << name;
    }
    ASSERT_EQ(0, client->db().addFileToRecycleBin(ustring(name), 1, ustring("h" + name), ustring()));
    if (time != 0) SetRowTime(name, time);
  }

  // Through a connection of its own, as another program would.
  void SetRowTime(const std::string& name, uint32_t time) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((client->config() + "/db/event-db.sqlite").c_str(), &db));
    sqlite3_busy_timeout(db, 10000);
    std::string sql = "UPDATE recycle_bin_table SET time = " + std::to_string(time) + " WHERE path = '" + name + "';";
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr));
    sqlite3_close(db);
  }

  void SetRecycleTime(uint32_t t) {
    Registry::Entry e = client->entry();
    client->registry().UpdateRecycleTime(e, t);
  }
  uint32_t RecycleTime() { return client->entry().recycle_time; }

  ServerProcess server;  // never started: nothing here talks to it
  std::unique_ptr<EngineClient> client;
  std::string recycle;
};

TEST_F(RecycleCleanerTest, NothingBeforeTheRotationAgeEverythingDueAfterIt) {
  const uint32_t t = static_cast<uint32_t>(std::time(nullptr));
  Recycled("/old.txt", false, t - 10);
  Recycled("/olddir", true, t - 10);
  Recycled("/young.txt", false, t + 100);
  SetRecycleTime(t - 10);

  RecycleCleaner cleaner(client->env());
  uint32_t now = 0;
  cleaner.SetClock([&] { return now; });
  ASSERT_EQ(0, cleaner.UpdateContext());
  // Table of moments after the recycle time, and what must be left.
  now = t - 10 + 1799;  // one second short of the age
  ASSERT_EQ(0, cleaner.Rotate());
  EXPECT_TRUE(fs::exists(recycle + "/old.txt"));
  EXPECT_EQ(t - 10, RecycleTime());

  now = t - 10 + 1800;  // due: rows at or before t - 10 go
  ASSERT_EQ(0, cleaner.Rotate());
  EXPECT_FALSE(fs::exists(recycle + "/old.txt"));
  EXPECT_FALSE(fs::exists(recycle + "/olddir")) << "a recycled folder goes whole";
  EXPECT_TRUE(fs::exists(recycle + "/young.txt"));
  EXPECT_EQ(t + 100, RecycleTime()) << "the oldest remaining entry's time";
  ustring path;
  EXPECT_EQ(0, client->db().getFilePathByHashFromRecycle(ustring("h/old.txt"), ustring(), path));
  EXPECT_EQ(1, client->db().getFilePathByHashFromRecycle(ustring("h/young.txt"), ustring(), path));

  ASSERT_EQ(0, cleaner.UpdateContext());  // the context carries the new time
  now = t + 100 + 1800;
  ASSERT_EQ(0, cleaner.Rotate());
  EXPECT_FALSE(fs::exists(recycle + "/young.txt"));
  EXPECT_EQ(0u, RecycleTime()) << "nothing left to rotate";
  EXPECT_EQ(std::vector<std::string>{}, client->List("/.VeltronaWorkingDirectory/#VeltRecycle"));
}

TEST_F(RecycleCleanerTest, ARecycleTimeOfZeroIsNeverRotated) {
  Recycled("/kept.txt", false, 1);
  RecycleCleaner cleaner(client->env());
  cleaner.SetClock([] { return 4000000000u; });
  ASSERT_EQ(0, cleaner.UpdateContext());
  ASSERT_EQ(0, cleaner.Rotate());
  EXPECT_TRUE(fs::exists(recycle + "/kept.txt"));
}

TEST_F(RecycleCleanerTest, RowsNeverReachOutsideTheRecycleFolder) {
  const uint32_t t = static_cast<uint32_t>(std::time(nullptr));
  client->Write("/precious.txt", "user data");
  // A link in the recycle folder pointing at the user's folder, and rows
  // naming the recycle folder itself or its parent.
  fs::create_directory_symlink(client->root(), recycle + "/link");
  for (const char* name : {"/link", "/..", "/."}) {
    ASSERT_EQ(0, client->db().addFileToRecycleBin(ustring(name), 1, ustring("x"), ustring()));
    SetRowTime(name, t - 5000);
  }
  SetRecycleTime(t - 5000);
  RecycleCleaner cleaner(client->env());
  ASSERT_EQ(0, cleaner.UpdateContext());
  ASSERT_EQ(0, cleaner.Rotate());
  EXPECT_EQ("user data", client->Read("/precious.txt"));
  EXPECT_TRUE(fs::is_directory(recycle));
  EXPECT_FALSE(fs::exists(recycle + "/link")) << "the link itself goes, not what it points at";
  EXPECT_TRUE(fs::exists(client->root()));
}

TEST_F(RecycleCleanerTest, TheTaskPurgesOnceTheDelayHasPassed) {
  const uint32_t t = static_cast<uint32_t>(std::time(nullptr));
  Recycled("/a.txt", false, t);
  Recycled("/b", true, t);
  SetRecycleTime(t);
  RecycleCleaner cleaner(client->env());
  std::atomic<uint32_t> now{t};
  cleaner.SetClock([&] { return now.load(); });
  cleaner.SetRotationAge(60);
  ASSERT_EQ(0, cleaner.Run());
  now = t + 60;  // the delay has passed
  ASSERT_TRUE(client->Await([&] { return client->List("/.VeltronaWorkingDirectory/#VeltRecycle").empty(); },
                            "the recycle folder emptied"));
  ASSERT_TRUE(client->Await([&] { return RecycleTime() == 0; }, "nothing left to rotate"));
  cleaner.StopAndJoin();
}

TEST(RecycleCleanerServerTest, AServerRemovalIsPurgedFromTheRecycleFolderAfterTheDelay) {
  ServerProcess server;
  ASSERT_TRUE(server.Start());
  testing::ServerClient other(server);
  ASSERT_FALSE(other.Upload("/r.txt", "removed on the server").hasMember("error"));
  EngineClient client(server);
  client.StartWorkers(2);
  Syncer syncer(client.env());
  ASSERT_EQ(0, syncer.Run());
  ASSERT_TRUE(client.Await([&] { return client.Exists("/r.txt"); }, "downloaded"));
  ASSERT_FALSE(other.Remove("/r.txt").hasMember("error"));
  const std::string recycle = "/.VeltronaWorkingDirectory/#VeltRecycle";
  ASSERT_TRUE(client.Await(
      [&] { return !client.Exists("/r.txt") && client.List(recycle).size() == 1 && client.entry().recycle_time != 0; },
      "moved into the recycle folder"));
  const uint32_t since = client.entry().recycle_time;

  RecycleCleaner cleaner(client.env());
  std::atomic<uint32_t> now{since + RecycleCleaner::kRotationAge - 1};
  cleaner.SetClock([&] { return now.load(); });
  ASSERT_EQ(0, cleaner.UpdateContext());
  ASSERT_EQ(0, cleaner.Rotate());
  EXPECT_EQ(1u, client.List(recycle).size()) << "kept until the delay has passed";
  // One second past the delay: the recycle row may carry the second after
  // the session's recycle time (the two clocks are read apart).
  now = since + RecycleCleaner::kRotationAge + 1;
  ASSERT_EQ(0, cleaner.Run());
  ASSERT_TRUE(client.Await([&] { return client.List(recycle).empty(); }, "purged"));
  ASSERT_TRUE(client.Await([&] { return client.entry().recycle_time == 0; }, "nothing left to rotate"));
  cleaner.StopAndJoin();
  syncer.StopAndJoin();
}

}  // namespace
}  // namespace tidewell
