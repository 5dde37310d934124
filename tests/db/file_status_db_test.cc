#include "db/file_status_db.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>

#include "common/random.h"
#include "common/temp_dir.h"
#include "db/sql_template.h"

namespace tidewell {
namespace {

std::string S(const ustring& u) { return std::string(u.utf8_view()); }

class FileStatusDBTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, FileStatusDB::initialize(ustring(dir_.Join("fstat.db")))); }
  void TearDown() override { FileStatusDB::destroy(); }

  static void Set(const char* path, int status, int type = 0) {
    ASSERT_EQ(0, FileStatusDB::setFileSyncStat(FileStatusInfo{type, status, ustring(path)}));
  }
  static int Status(const char* path) {
    FileStatusInfo info;
    int rc = FileStatusDB::getFileSyncStat(path, &info);
    return rc == 1 ? info.syncStatus : -100 + rc;
  }

  testing::TempDir dir_;
};

TEST(SqlTemplateTest, MarkersQuoteTheirArguments) {
  std::string out;
  ASSERT_EQ(0, VELTDBEscapeStringEX3(&out, "a=@VELT:VAR b like '@VELT:LVAR' c=@VELT:INT d=@VELT:LLINT e=@VELT:NEVAR f@x",
                                     "it's", "50%_o\\'k", -3, -9000000000ll, "raw'"));
  EXPECT_EQ("a=it''s b like '50\\%\\_o\\\\''k' escape '\\' c=-3 d=-9000000000 e=raw' f@x", out);
  ASSERT_EQ(0, VELTDBEscapeStringEX3(&out, "x='@VELT:VAR'", nullptr));
  EXPECT_EQ("x=''", out);
  EXPECT_EQ(-1, VELTDBEscapeStringEX3(&out, nullptr));
}

TEST_F(FileStatusDBTest, SetReplacesTheRowOfAPath) {
  Set("/s/a", FSTAT_SYNCING);
  Set("/s/a", FSTAT_SYNCED, 1);
  FileStatusInfo info;
  ASSERT_EQ(1, FileStatusDB::getFileSyncStat("/s/a", &info));
  EXPECT_EQ(FSTAT_SYNCED, info.syncStatus);
  EXPECT_EQ(1, info.fileType);
  EXPECT_EQ("/s/a", S(info.path));
  EXPECT_EQ(0, FileStatusDB::getFileSyncStat("/s/none", &info));
  EXPECT_EQ(FSTAT_UNKNOWN, info.syncStatus);
  EXPECT_EQ("", S(info.path));
  EXPECT_EQ(-1, FileStatusDB::getFileSyncStat("", &info));
  EXPECT_EQ(-1, FileStatusDB::getFileSyncStat("/s/a", nullptr));
}

TEST_F(FileStatusDBTest, LookupMatchesPercentUnderscoreAndCaseLiterally) {
  Set("/s/50%_off", FSTAT_SYNCING);
  Set("/s/a_b", FSTAT_SYNCED);
  Set("/s/A", FSTAT_SYNCED);
  Set("/s/it's", FSTAT_SYNCING);
  EXPECT_EQ(FSTAT_SYNCING, Status("/s/50%_off"));
  EXPECT_EQ(-100, Status("/s/50%"));
  EXPECT_EQ(-100, Status("/s/50x_off"));
  EXPECT_EQ(-100, Status("/s/axb"));
  EXPECT_EQ(-100, Status("/s/a"));
  EXPECT_EQ(FSTAT_SYNCING, Status("/s/it's"));
}

TEST_F(FileStatusDBTest, SubtreeRemovalWithEitherSeparator) {
  for (const char* p : {"C:\\a", "C:\\a\\b", "C:\\a/b", "C:\\ab", "/x", "/x/y", "/x*/z", "/xz"}) {
    Set(p, FSTAT_SYNCING);
  }
  ASSERT_EQ(0, FileStatusDB::rmFileSyncStat(FileStatusInfo{0, 0, ustring("C:\\a")}));
  EXPECT_EQ(-100, Status("C:\\a"));
  EXPECT_EQ(-100, Status("C:\\a\\b"));
  EXPECT_EQ(-100, Status("C:\\a/b"));
  EXPECT_EQ(FSTAT_SYNCING, Status("C:\\ab"));
  ASSERT_EQ(0, FileStatusDB::rmFileSyncStat(FileStatusInfo{0, 0, ustring("/x*")}));
  EXPECT_EQ(FSTAT_SYNCING, Status("/x/y"));
  EXPECT_EQ(FSTAT_SYNCING, Status("/xz"));
  EXPECT_EQ(-100, Status("/x*/z"));
  ASSERT_EQ(0, FileStatusDB::rmFileStatByPath("/x"));
  EXPECT_EQ(-100, Status("/x"));
  EXPECT_EQ(FSTAT_SYNCING, Status("/x/y"));
}

TEST_F(FileStatusDBTest, DirectChildrenListingIsPaged) {
  for (const char* p : {"/d/1", "/d/2", "/d/3", "/d/3/deep", "/d_x/4", "/dd/5"}) Set(p, FSTAT_SYNCED);
  int size = -1;
  auto rows = FileStatusDB::getFileSyncStats("/d", 0, 10, size);
  EXPECT_EQ(3, size);
  ASSERT_EQ(3u, rows.size());
  auto page = FileStatusDB::getFileSyncStats("/d", 1, 1, size);
  EXPECT_EQ(1, size);
  auto none = FileStatusDB::getFileSyncStats("", 0, 10, size);
  EXPECT_EQ(0, size);
  EXPECT_TRUE(none.empty());
}

TEST_F(FileStatusDBTest, SyncingQueries) {
  EXPECT_FALSE(FileStatusDB::isAnyFileSyncing());
  Set("C:\\a", FSTAT_SYNCING);
  Set("C:\\a_\\x", FSTAT_SYNCING);
  EXPECT_TRUE(FileStatusDB::isAnyFileSyncing());
  // Only the folder itself (and a look-alike sibling) is syncing.
  EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing("C:\\a"));
  Set("C:\\a\\b", FSTAT_SYNCED);
  EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing("C:\\a"));
  Set("C:\\a\\c", FSTAT_SYNCING);
  EXPECT_TRUE(FileStatusDB::isAnySubFileDirSyncing("C:\\a"));
  Set("/home/u/s/x", FSTAT_SYNCING);
  EXPECT_TRUE(FileStatusDB::isAnySubFileDirSyncing("/home/u/s"));
  EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing("/home/u/s/x"));
  EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing(""));
  ASSERT_EQ(0, FileStatusDB::updateAllSyncingEntry());
  EXPECT_FALSE(FileStatusDB::isAnyFileSyncing());
  EXPECT_EQ(FSTAT_SYNCED, Status("C:\\a\\c"));
  ASSERT_EQ(0, FileStatusDB::removeAllEntry());
  EXPECT_EQ(-100, Status("C:\\a\\c"));
}

TEST_F(FileStatusDBTest, FailuresAreReportedNotHidden) {
  FileStatusDB::destroy();
  EXPECT_EQ(-1, FileStatusDB::setFileSyncStat(FileStatusInfo{0, 2, ustring("/a")}));
  EXPECT_FALSE(FileStatusDB::isAnyFileSyncing());
  EXPECT_EQ(-1, FileStatusDB::initialize(""));
  EXPECT_EQ(-1, FileStatusDB::initialize(ustring(dir_.Join("no/such/dir/f.db"))));
  FileStatusDB constructed(ustring(dir_.Join("other.db")));
  EXPECT_EQ(0, FileStatusDB::setFileSyncStat(FileStatusInfo{0, 2, ustring("/a")}));
}

}  // namespace
}  // namespace tidewell

namespace tidewell {
namespace {

// Marks set, replaced and removed with their subtrees at random, against a
// std::map model.
TEST_F(FileStatusDBTest, RandomMarksMatchMapModel) {
  const uint64_t seed = testing::TestSeed();
  SCOPED_TRACE("seed=" + std::to_string(seed));
  std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
  const char* paths[] = {"/r", "/r/a", "/r/a/b", "/r/ab", "/r/a_", "/r/a%", "/r/a*", "/r/a*/c", "/r/A"};
  std::map<std::string, int> model;
  for (int step = 0; step < 120; ++step) {
    std::string path = paths[rng() % 9];
    switch (rng() % 4) {
      case 0: {
        ASSERT_EQ(0, FileStatusDB::rmFileSyncStat(FileStatusInfo{0, 0, ustring(path)}));
        for (auto it = model.begin(); it != model.end();) {
          bool below = it->first == path || it->first.rfind(path + "/", 0) == 0 ||
                       it->first.rfind(path + "\\", 0) == 0;
          it = below ? model.erase(it) : std::next(it);
        }
        break;
      }
      case 1:
        ASSERT_EQ(0, FileStatusDB::rmFileStatByPath(ustring(path)));
        model.erase(path);
        break;
      default: {
        int status = 1 + static_cast<int>(rng() % 2);
        Set(path.c_str(), status);
        model[path] = status;
      }
    }
  }
  for (const char* p : paths) {
    auto it = model.find(p);
    EXPECT_EQ(it == model.end() ? -100 : it->second, Status(p)) << p;
  }
}

}  // namespace
}  // namespace tidewell
