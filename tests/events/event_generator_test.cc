#include "events/event_generator.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/task.h"
#include "common/temp_dir.h"
#include "db/file_event_db.h"
#include "db/filter_types.h"
#include "net/pobject.h"

namespace tidewell {
namespace {

class Worker : public Task {};

class EventGeneratorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db = std::make_shared<FileEventDB>();
    ASSERT_EQ(db->initialize(dir.Join("event-db.sqlite")), 0);
    dir.WriteFile("local/.keep", "");
    entry.sess_id = 3;
    entry.local_path = dir.Join("local");
    entry.event_db = db;
    sessions.Set(entry);
  }

  void Known(const std::string& path, uint64_t sync_id) {
    ClientFileEventInfo info;
    info.path = path;
    info.syncID = sync_id;
    info.isExist = 1;
    info.fileModTime = 1700000000;
    info.fileSize = 12;
    info.fileCheckSum = "abc123";
    info.macHash = "mac";
    info.execBit = 1;
    ASSERT_EQ(db->setEventInfo(info), 0);
  }

  static PObject ServerEvent(const char* path, uint64_t sync_id, bool removed = false) {
    PObject o;
    o["path"] = path;
    o["sync_id"] = static_cast<unsigned long long>(sync_id);
    o["is_dir"] = false;
    o["is_removed"] = removed;
    return o;
  }

  // The one event queued for the session, or EV_EMPTY.
  Event Queued() {
    Event e;
    if (manager.PullEvent(&worker, e) != 0) return Event();
    Event done = e;
    EXPECT_EQ(manager.DoneEvent(&worker, done), 0);
    return e;
  }

  testing::TempDir dir;
  std::shared_ptr<FileEventDB> db;
  Registry sessions;
  Registry::Entry entry;
  EventManager manager{sessions};
  Worker worker;
};

TEST_F(EventGeneratorTest, EchoOfKnownExistingItemIsDropped) {
  Known("/f.txt", 10);
  dir.WriteFile("local/f.txt", "x");
  EXPECT_EQ(PushEvent(entry, ServerEvent("/f.txt", 10), manager), 0);
  EXPECT_EQ(PushEvent(entry, ServerEvent("/f.txt", 9), manager), 0);
  EXPECT_FALSE(Queued().IsValid());
  // A newer change is no echo.
  EXPECT_EQ(PushEvent(entry, ServerEvent("/f.txt", 11), manager), 1);
  Event e = Queued();
  EXPECT_EQ(e.m_sync_id, 11u);
  EXPECT_TRUE(e.IsServerEvent());
}

TEST_F(EventGeneratorTest, KnownButMissingLocallyIsPushed) {
  Known("/gone.txt", 10);
  EXPECT_EQ(PushEvent(entry, ServerEvent("/gone.txt", 10), manager), 1);
  EXPECT_EQ(std::string(Queued().m_path.utf8_view()), "/gone.txt");
}

TEST_F(EventGeneratorTest, RemovalOfUnknownItemIsDropped) {
  EXPECT_EQ(PushEvent(entry, ServerEvent("/never.txt", 4, true), manager), 0);
  EXPECT_FALSE(Queued().IsValid());
  Known("/was.txt", 2);
  EXPECT_EQ(PushEvent(entry, ServerEvent("/was.txt", 4, true), manager), 1);
  EXPECT_EQ(Queued().m_type, Event::EV_REMOVE);
}

TEST_F(EventGeneratorTest, FieldsOfTheServerObject) {
  PObject o = ServerEvent("/d", 7);
  o["is_dir"] = true;
  o["file"]["hash"] = "h1";
  o["file"]["size"] = 99;
  o["common_attribute"]["mtime"] = 1000;
  o["mac_attribute"]["hash"] = "m1";
  o["mac_attribute"]["size"] = 5;
  o["exec_bit"] = 1;
  ASSERT_EQ(PushEvent(entry, o, manager), 1);
  Event e = Queued();
  EXPECT_TRUE(e.IsDir());
  EXPECT_EQ(e.m_type, Event::EV_CREATE);
  EXPECT_EQ(e.m_max_id, 7u);  // no "max_id": the sync id
  EXPECT_EQ(std::string(e.m_data_hash.utf8_view()), "h1");
  EXPECT_EQ(e.m_data_size, 99u);
  EXPECT_EQ(e.m_time, 1000u);
  EXPECT_EQ(std::string(e.m_mac_attr_hash.utf8_view()), "m1");
  EXPECT_EQ(e.m_mac_attr_size, 5u);
  EXPECT_EQ(e.m_exec_bit, 1u);
  EXPECT_EQ(e.m_sess_id, 3u);

  PObject p = ServerEvent("/e", 8);
  p["max_id"] = 20;
  p["common_attribute"]["mtime"] = 1000;
  p["mtime"]["mtime"] = 2000;  // the newer form wins
  ASSERT_EQ(PushEvent(entry, p, manager), 1);
  e = Queued();
  EXPECT_EQ(e.m_max_id, 20u);
  EXPECT_EQ(e.m_time, 2000u);
}

TEST_F(EventGeneratorTest, PathsClimbingOutOfTheFolderAreRefused) {
  for (const char* bad : {"/../etc/passwd", "/a/../../b", "/./x", "relative", ""})
    EXPECT_EQ(PushEvent(entry, ServerEvent(bad, 50), manager), 0) << bad;
  EXPECT_FALSE(Queued().IsValid());
  EXPECT_FALSE(IsCleanSessionPath(ustring(std::string("/n\0ul", 5))));
  EXPECT_TRUE(IsCleanSessionPath(ustring("/a/..b/c.")));
}

TEST_F(EventGeneratorTest, ForcedDownloadTakesRecordOrWarns) {
  ASSERT_EQ(PushDownloadEvent(entry, "/nothing.txt", false, manager), 1);
  Event e = Queued();
  EXPECT_EQ(e.m_sync_id, Event::kForcedSyncId);
  EXPECT_EQ(e.m_max_id, Event::kForcedSyncId);
  EXPECT_EQ(e.m_type, Event::EV_MODIFY);
  EXPECT_TRUE(e.m_data_hash.empty());

  Known("/k.txt", 3);
  ASSERT_EQ(PushDownloadEvent(entry, "/k.txt", false, manager), 1);
  e = Queued();
  EXPECT_EQ(e.m_time, 1700000000u);
  EXPECT_EQ(e.m_data_size, 12u);
  EXPECT_EQ(std::string(e.m_data_hash.utf8_view()), "abc123");
  EXPECT_EQ(std::string(e.m_mac_attr_hash.utf8_view()), "mac");
  EXPECT_EQ(e.m_exec_bit, 1u);
  // Any real server event replaces a forced download still waiting.
  ASSERT_EQ(PushDownloadEvent(entry, "/k.txt", false, manager), 1);
  ASSERT_EQ(PushServerRemoveEvent(entry, "/k.txt", false, 4, 4, manager), 1);
  e = Queued();
  EXPECT_EQ(e.m_type, Event::EV_REMOVE);
  EXPECT_EQ(e.m_sync_id, 4u);
}

TEST_F(EventGeneratorTest, LocalEventsAndFilteredReplays) {
  ASSERT_EQ(PushUploadEvent(entry, "/u", true, manager), 1);
  Event e = Queued();
  EXPECT_TRUE(e.IsLocalEvent());
  EXPECT_TRUE(e.IsDir());
  EXPECT_EQ(e.m_type, Event::EV_MODIFY);
  ASSERT_EQ(PushLocalRemoveEvent(entry, "/r", false, manager), 1);
  EXPECT_EQ(Queued().m_type, Event::EV_REMOVE);

  FilterLocalEvent kept;
  kept.path = "/kept.txt";
  kept.is_exist = 1;
  PushEvent(entry, kept, manager);
  e = Queued();
  EXPECT_TRUE(e.IsLocalEvent());
  kept.is_exist = 0;
  kept.file_type = 1;
  PushEvent(entry, kept, manager);
  e = Queued();
  EXPECT_TRUE(e.IsServerEvent());
  EXPECT_TRUE(e.IsDir());
  EXPECT_EQ(e.m_sync_id, Event::kForcedSyncId);
}

}  // namespace
}  // namespace tidewell
