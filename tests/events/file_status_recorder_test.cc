#include "events/file_status_recorder.h"

#include <gtest/gtest.h>

#include <string>

#include "common/temp_dir.h"
#include "db/file_status_db.h"
#include "events/event.h"
#include "events/event_tree.h"

namespace tidewell {
namespace {

int StatusOf(const char* path) {
  FileStatusInfo info;
  EXPECT_GE(FileStatusDB::getFileSyncStat(ustring(path), &info), 0);
  return info.syncStatus;
}

TEST(FileStatusRecorderTest, MarksAndForgetsRowsOfTheStatusDatabase) {
  testing::TempDir dir;
  ASSERT_EQ(FileStatusDB::initialize(dir.Join("fstat.sqlite")), 0);
  FileStatusRecorder& rec = FileStatusRecorder::getInstance();
  ASSERT_EQ(rec.MarkSyncing(ustring("/sync/a/b.txt"), false), 0);
  ASSERT_EQ(rec.MarkSyncing(ustring("/sync/a"), true), 0);
  EXPECT_EQ(StatusOf("/sync/a/b.txt"), FSTAT_SYNCING);
  ASSERT_EQ(rec.Forget(ustring("/sync/a/b.txt")), 0);
  EXPECT_EQ(StatusOf("/sync/a/b.txt"), FSTAT_UNKNOWN);
  EXPECT_EQ(StatusOf("/sync/a"), FSTAT_SYNCING);  // only that path

  // Work a folder removal drops leaves no syncing mark behind.
  ASSERT_EQ(rec.MarkSyncing(ustring("/sync/d/x"), false), 0);
  EventList2 tree(ustring("/sync"), &rec);
  Event x;
  x.m_type = Event::EV_CREATE;
  x.m_path = "/d/x";
  ASSERT_EQ(tree.Push(x), 0);
  Event d = x;
  d.m_type = Event::EV_REMOVE;
  d.m_path = "/d";
  d.m_mode = Event::F_DIR;
  ASSERT_EQ(tree.Push(d), 0);
  EXPECT_EQ(StatusOf("/sync/d/x"), FSTAT_UNKNOWN);
  FileStatusDB::destroy();
}

TEST(FileStatusRecorderTest, MarksReuseOneConnection) {
  testing::TempDir dir;
  ASSERT_EQ(FileStatusDB::initialize(dir.Join("fstat.sqlite")), 0);
  const uint64_t opened = FileStatusDB::ConnectionsOpened();
  FileStatusRecorder& rec = FileStatusRecorder::getInstance();
  EventList2 tree(ustring("/sync"), &rec);
  for (int i = 0; i < 200; ++i) {
    Event e;
    e.m_type = Event::EV_MODIFY;
    e.m_path = "/f" + std::to_string(i);
    ASSERT_EQ(rec.MarkSyncing(ustring("/sync") + e.m_path, false), 0);
    ASSERT_EQ(tree.Push(e), 0);
  }
  EXPECT_EQ(StatusOf("/sync/f199"), FSTAT_SYNCING);
  ASSERT_EQ(rec.Forget(ustring("/sync/f199")), 0);
  EXPECT_EQ(StatusOf("/sync/f199"), FSTAT_UNKNOWN);
  EXPECT_EQ(opened, FileStatusDB::ConnectionsOpened()) << "no connection per mark";
  FileStatusDB::destroy();
  EXPECT_EQ(-1, rec.MarkSyncing(ustring("/sync/late"), false)) << "closed after destroy";
}

}  // namespace
}  // namespace tidewell
