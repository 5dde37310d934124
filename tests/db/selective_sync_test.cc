#include "db/selective_sync.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/log.h"
#include "common/temp_dir.h"
#include "db/file_event_db.h"
#include "db/filter_db.h"
#include "db/progress_cache.h"

namespace tidewell {
namespace {

namespace fs = std::filesystem;

std::string S(const ustring& u) { return std::string(u.utf8_view()); }

// Uses the process-wide filter database and progress cache, as the
// comparison does, on a fresh file per test.
class SelectiveSyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Removed folders go to a trash inside the test folder.
    setenv("XDG_DATA_HOME", dir_.Join("xdg").c_str(), 1);
    ASSERT_EQ(0, FilterDB::getInstance().initialize(ustring(dir_.Join("filter.db"))));
    DrainCache();
  }
  void TearDown() override {
    FilterDB::getInstance().destroy();
    DrainCache();
  }
  static void DrainCache() {
    ProgressCache::Entry e;
    while (ProgressCache::getInstance().getProgressEntry(e)) {
      ProgressCache::getInstance().rmProgressEntry(e.row_id);
    }
  }
  // A file record for `path` (its folders get theirs).
  static void Known(FileEventDB& events, const char* path) {
    ClientFileEventInfo info;
    info.fileType = 0;
    info.isExist = 1;
    info.syncID = info.maxSyncID = 5;
    info.fileSize = 1;
    info.path = ustring(path);
    ASSERT_EQ(0, events.setEventInfo(info));
  }
  static std::set<FilterInfo> Set(std::initializer_list<FilterInfo> items) { return items; }

  std::list<std::pair<uint64_t, ResumeCondition>> Conditions(uint64_t sess) {
    std::list<std::pair<uint64_t, ResumeCondition>> out;
    EXPECT_EQ(0, FilterDB::getInstance().getResumeConditionsBySession(sess, out));
    return out;
  }

  testing::TempDir dir_;
};

TEST_F(SelectiveSyncTest, RemovedPrefixRuleResumesFromItsStoredSyncId) {
  FilterDB& db = FilterDB::getInstance();
  ASSERT_EQ(0, db.setFilter(1, 0, -13, "/Keep"));
  ASSERT_EQ(0, db.setFilter(1, 25, -13, "/Gone"));
  SelectiveSyncInfo stored;
  ASSERT_EQ(0, db.ConvertFilterDBToSelectiveSyncInfo(1, stored));
  ASSERT_EQ(0, CompareFilterList(1, -13, stored.black_prefix, Set({{40, "/Keep"}}),
                                 ustring(dir_.Join("root")), nullptr));
  auto conds = Conditions(1);
  ASSERT_EQ(1u, conds.size());
  EXPECT_EQ("/Gone", S(conds.front().second.filter_desc));
  EXPECT_EQ(25u, conds.front().second.sync_id);
  EXPECT_EQ(-13, conds.front().second.filter_type);
  ProgressCache::Entry e;
  ASSERT_TRUE(ProgressCache::getInstance().getProgressEntry(e));
  EXPECT_EQ(conds.front().first, e.row_id);
  SelectiveSyncInfo after;
  ASSERT_EQ(0, db.ConvertFilterDBToSelectiveSyncInfo(1, after));
  ASSERT_EQ(1u, after.black_prefix.size());
  EXPECT_EQ("/Keep", S(after.black_prefix.begin()->filter_desc));
}

TEST_F(SelectiveSyncTest, NewPrefixRuleIsStoredFromZeroAndItsFolderRemovedWithItsRecords) {
  dir_.WriteFile("root/Big/data.bin", "local copy");
  dir_.WriteFile("root/Bigger/keep.bin", "stays");
  dir_.WriteFile("root/deep/sub/x.bin", "x");
  FileEventDB events;
  ASSERT_EQ(0, events.initialize(ustring(dir_.Join("event-db.sqlite"))));
  for (const char* path : {"/Big/data.bin", "/Bigger/keep.bin", "/deep/sub/x.bin", "/deep/y.bin"}) Known(events, path);
  // The second rule is written untidily: it names the same folder.
  ASSERT_EQ(0, CompareFilterList(1, -13, {}, Set({{40, "/Big"}, {40, "/deep//sub/"}}), ustring(dir_.Join("root")),
                                 &events));
  EXPECT_FALSE(fs::exists(dir_.Join("root/Big")));
  EXPECT_FALSE(fs::exists(dir_.Join("root/deep/sub")));
  EXPECT_TRUE(fs::exists(dir_.Join("root/Bigger/keep.bin")));
  // What the folders held is not here by the rule's doing; a record left
  // would read as the user's deletion once the rule goes.
  ClientFileEventInfo info;
  for (const char* gone : {"/Big", "/Big/data.bin", "/deep/sub", "/deep/sub/x.bin"})
    EXPECT_EQ(0, events.getEventInfo(ustring(gone), info)) << gone;
  for (const char* kept : {"/Bigger", "/Bigger/keep.bin", "/deep", "/deep/y.bin"})
    EXPECT_EQ(1, events.getEventInfo(ustring(kept), info)) << kept;
  SelectiveSyncInfo after;
  ASSERT_EQ(0, FilterDB::getInstance().ConvertFilterDBToSelectiveSyncInfo(1, after));
  ASSERT_EQ(2u, after.black_prefix.size());
  EXPECT_EQ(0u, after.black_prefix.begin()->sync_id);
  EXPECT_TRUE(Conditions(1).empty());
  events.destroy();
}

TEST_F(SelectiveSyncTest, NewNameRuleKeepsItsSyncIdAndRemovesNothing) {
  dir_.WriteFile("root/x.iso", "x");
  ASSERT_EQ(0, CompareFilterList(1, -12, {}, Set({{40, "iso"}}), ustring(dir_.Join("root")), nullptr));
  EXPECT_TRUE(fs::exists(dir_.Join("root/x.iso")));
  SelectiveSyncInfo after;
  ASSERT_EQ(0, FilterDB::getInstance().ConvertFilterDBToSelectiveSyncInfo(1, after));
  EXPECT_EQ(40u, after.black_ext.begin()->sync_id);
}

TEST_F(SelectiveSyncTest, PrefixRulesThatLeaveTheFolderAreNeverRemoved) {
  dir_.WriteFile("root/a.txt", "a");
  dir_.WriteFile("outside.txt", "o");
  for (const char* rule : {"/", "/..", "/./", "/a/../.."}) {
    ASSERT_EQ(0, CompareFilterList(1, -13, {}, Set({{1, rule}}), ustring(dir_.Join("root")), nullptr));
  }
  EXPECT_TRUE(fs::exists(dir_.Join("root/a.txt")));
  EXPECT_TRUE(fs::exists(dir_.Join("outside.txt")));
}

TEST_F(SelectiveSyncTest, PrefixRulesOutsideTheRootAreRefusedAndLogged) {
  dir_.WriteFile("root/Big/data.bin", "local copy");
  dir_.WriteFile("root/real/in.txt", "inside");
  dir_.WriteFile("elsewhere/precious/doc.txt", "not the session's");
  fs::create_directory_symlink(dir_.Join("elsewhere"), dir_.Join("root/link"));
  fs::create_directory_symlink(dir_.Join("elsewhere/precious"), dir_.Join("root/real/deep"));
  ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, ustring(dir_.Join("log")), ustring(), 2));
  // Each row: a rule the comparison must refuse.
  const char* refused[] = {
      "Big",            // relative: not anchored at the root
      "/link",          // a symbolic link to a folder elsewhere
      "/link/precious", // through that link
      "/real/deep",     // a link further down
  };
  FileEventDB events;
  ASSERT_EQ(0, events.initialize(ustring(dir_.Join("event-db.sqlite"))));
  Known(events, "/Big/data.bin");
  Known(events, "/link/precious/doc.txt");
  for (const char* rule : refused) {
    ASSERT_EQ(0, CompareFilterList(1, -13, {}, Set({{1, rule}}), ustring(dir_.Join("root")), &events)) << rule;
  }
  ClientFileEventInfo info;
  EXPECT_EQ(1, events.getEventInfo(ustring("/Big/data.bin"), info)) << "a refused rule forgets nothing";
  EXPECT_EQ(1, events.getEventInfo(ustring("/link/precious/doc.txt"), info));
  events.destroy();
  Logger::Destroy();
  EXPECT_TRUE(fs::exists(dir_.Join("root/Big/data.bin")));
  EXPECT_TRUE(fs::exists(dir_.Join("root/real/in.txt")));
  EXPECT_TRUE(fs::exists(dir_.Join("elsewhere/precious/doc.txt")));
  EXPECT_TRUE(fs::is_symlink(dir_.Join("root/link")));
  EXPECT_TRUE(fs::is_symlink(dir_.Join("root/real/deep")));
  SelectiveSyncInfo after;
  ASSERT_EQ(0, FilterDB::getInstance().ConvertFilterDBToSelectiveSyncInfo(1, after));
  EXPECT_TRUE(after.black_prefix.empty()) << "a refused rule is not stored";
  std::string log = dir_.ReadFile("log");
  for (const char* rule : refused) {
    EXPECT_NE(std::string::npos, log.find(std::string("Refused selective-sync path rule (1)[") + rule + "]"))
        << rule << "\n" << log;
  }
  // A rule for a folder that does not exist yet is fine.
  ASSERT_EQ(0, CompareFilterList(1, -13, {}, Set({{1, "/later/sub"}}), ustring(dir_.Join("root")), nullptr));
  ASSERT_EQ(0, FilterDB::getInstance().ConvertFilterDBToSelectiveSyncInfo(1, after));
  EXPECT_EQ(1u, after.black_prefix.size());
}

TEST_F(SelectiveSyncTest, FileRulesConvertWithTheCurrentSyncId) {
  Filter f;
  filter_init(&f);
  ASSERT_EQ(0, value_type_string_set_insert(&f.common.black_path_prefix_selective_sync, "/P", 2));
  ASSERT_EQ(0, value_type_string_set_insert(&f.file.black_name_selective_sync, "n", 1));
  ASSERT_EQ(0, value_type_string_set_insert(&f.file.black_ext_selective_sync, "e", 1));
  f.file.max_size_selective_sync = 123;
  SelectiveSyncInfo info;
  ASSERT_EQ(0, ConvertFilterFileToSelectiveSyncInfo(1, 77, f, info));
  EXPECT_EQ(77u, info.black_prefix.begin()->sync_id);
  EXPECT_EQ("n", S(info.black_name.begin()->filter_desc));
  EXPECT_EQ("e", S(info.black_ext.begin()->filter_desc));
  EXPECT_EQ("123", S(info.black_size.filter_desc));
  EXPECT_EQ(77u, info.black_size.sync_id);
  filter_destroy(&f);
}

TEST_F(SelectiveSyncTest, SizeLimitChanges) {
  FilterDB& db = FilterDB::getInstance();
  FilterInfo stored;
  // First limit: stored with the file's sync id, nothing to resume.
  ASSERT_EQ(0, CompareSizeFilter(1, FilterInfo{}, FilterInfo{30, "100"}));
  ASSERT_EQ(0, db.getSizeFilter(1, stored));
  EXPECT_EQ("100", S(stored.filter_desc));
  EXPECT_EQ(30u, stored.sync_id);
  EXPECT_TRUE(Conditions(1).empty());

  // Raised 100 -> 200: resume the sizes in between.
  ASSERT_EQ(0, CompareSizeFilter(1, stored, FilterInfo{31, "200"}));
  auto conds = Conditions(1);
  ASSERT_EQ(1u, conds.size());
  EXPECT_EQ("from=100,to=200", S(conds.front().second.filter_desc));
  EXPECT_EQ(30u, conds.front().second.sync_id);
  EXPECT_EQ(-15, conds.front().second.filter_type);
  ASSERT_EQ(0, db.getSizeFilter(1, stored));
  EXPECT_EQ("200", S(stored.filter_desc));

  // Lowered 200 -> 100: only the stored limit changes.
  ASSERT_EQ(0, CompareSizeFilter(1, stored, FilterInfo{32, "100"}));
  EXPECT_EQ(1u, Conditions(1).size());
  ASSERT_EQ(0, db.getSizeFilter(1, stored));
  EXPECT_EQ("100", S(stored.filter_desc));

  // Unchanged: nothing happens.
  ASSERT_EQ(0, CompareSizeFilter(1, stored, FilterInfo{33, "100"}));
  EXPECT_EQ(1u, Conditions(1).size());
}

TEST_F(SelectiveSyncTest, RemovedSizeLimitResumesUpToTenGiB) {
  FilterDB& db = FilterDB::getInstance();
  ASSERT_EQ(0, db.setSizeFilter(1, 30, 200));
  FilterInfo stored;
  ASSERT_EQ(0, db.getSizeFilter(1, stored));
  ASSERT_EQ(0, CompareSizeFilter(1, stored, FilterInfo{31, "0"}));
  auto conds = Conditions(1);
  ASSERT_EQ(1u, conds.size());
  EXPECT_EQ("from=200,to=10737418240", S(conds.front().second.filter_desc));
  ASSERT_EQ(0, db.getSizeFilter(1, stored));
  EXPECT_EQ("10737418240", S(stored.filter_desc));
  // Reloading the same file again finds nothing new to resume.
  ASSERT_EQ(0, CompareSizeFilter(1, stored, FilterInfo{32, "0"}));
  EXPECT_EQ(1u, Conditions(1).size());
  ProgressCache::Entry e;
  ASSERT_TRUE(ProgressCache::getInstance().getProgressEntry(e));
  EXPECT_EQ(conds.front().first, e.row_id);
}

TEST_F(SelectiveSyncTest, FailuresAreReported) {
  FilterDB::getInstance().destroy();
  EXPECT_EQ(-1, CompareFilterList(1, -13, Set({{1, "/a"}}), {}, ustring(dir_.Join("root")), nullptr));
  EXPECT_EQ(-1, CompareFilterList(1, -14, {}, Set({{1, "n"}}), ustring(dir_.Join("root")), nullptr));
  EXPECT_EQ(-1, CompareSizeFilter(1, FilterInfo{}, FilterInfo{1, "5"}));
}

TEST(ResumeSizeDescTest, EncodesAndDecodesSixtyFourBitBounds) {
  ustring desc = EncodeResumeSizeFilterDesc(100, 18446744073709551615ull);
  EXPECT_EQ("from=100,to=18446744073709551615", std::string(desc.utf8_view()));
  uint64_t from = 1, to = 1;
  ASSERT_EQ(0, DecodeResumeSizeFilterDesc(desc, from, to));
  EXPECT_EQ(100u, from);
  EXPECT_EQ(18446744073709551615ull, to);
  for (const char* bad : {"", "from=,to=1", "from=1,to=", "from=1;to=2", "from=-1,to=2", "to=1",
                          "from=1,to=18446744073709551616", "from=1,to=2x"}) {
    EXPECT_EQ(-1, DecodeResumeSizeFilterDesc(bad, from, to)) << bad;
  }
  EXPECT_EQ(100u, from);
}

}  // namespace
}  // namespace tidewell
