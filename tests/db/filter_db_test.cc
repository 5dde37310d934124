#include "db/filter_db.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>

#include "common/random.h"
#include "common/temp_dir.h"

namespace tidewell {
namespace {

class FilterDBTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, db_.initialize(ustring(dir_.Join("filter.db")))); }

  testing::TempDir dir_;
  FilterDB db_;
};

FilterLocalEvent Event(const char* path, int filtered_type) {
  FilterLocalEvent ev;
  ev.sess_id = 7;
  ev.path = path;
  ev.file_type = 0;
  ev.is_exist = 1;
  ev.sync_id = 3;
  ev.file_size = 1ull << 40;
  ev.file_mod_time = 4000000000u;
  ev.file_checksum = "sum";
  ev.base_name = "n";
  ev.mac_hash = "m'q";
  ev.inode = 99;
  ev.filtered_type = filtered_type;
  return ev;
}

TEST_F(FilterDBTest, RulesOfEachKindConvertToSelectiveSyncInfo) {
  ASSERT_EQ(0, db_.setFilter(1, 10, -13, "/Big"));
  ASSERT_EQ(0, db_.setFilter(1, 11, -14, "it's.bin"));
  ASSERT_EQ(0, db_.setFilter(1, 12, -12, "iso"));
  ASSERT_EQ(0, db_.setFilter(1, 12, -12, "iso"));  // a duplicate is ignored
  ASSERT_EQ(0, db_.setFilter(1, 13, -99, "odd"));
  ASSERT_EQ(0, db_.setFilter(2, 14, -13, "/Other"));
  ASSERT_EQ(0, db_.setSizeFilter(1, 15, 100));
  SelectiveSyncInfo info;
  ASSERT_EQ(0, db_.ConvertFilterDBToSelectiveSyncInfo(1, info));
  ASSERT_EQ(1u, info.black_prefix.size());
  EXPECT_EQ("/Big", std::string(info.black_prefix.begin()->filter_desc.utf8_view()));
  EXPECT_EQ(10u, info.black_prefix.begin()->sync_id);
  ASSERT_EQ(1u, info.black_name.size());
  EXPECT_EQ("it's.bin", std::string(info.black_name.begin()->filter_desc.utf8_view()));
  EXPECT_EQ(1u, info.black_ext.size());
  EXPECT_EQ("100", std::string(info.black_size.filter_desc.utf8_view()));
  EXPECT_EQ(15u, info.black_size.sync_id);

  ASSERT_EQ(0, db_.rmFilter(1, -14, "it's.bin"));
  SelectiveSyncInfo after;
  ASSERT_EQ(0, db_.ConvertFilterDBToSelectiveSyncInfo(1, after));
  EXPECT_TRUE(after.black_name.empty());
}

TEST_F(FilterDBTest, SizeRuleUpdatesAndRemoval) {
  FilterInfo info{5, "untouched"};
  ASSERT_EQ(0, db_.getSizeFilter(1, info));
  EXPECT_EQ("untouched", std::string(info.filter_desc.utf8_view()));
  ASSERT_EQ(0, db_.setSizeFilter(1, 8, 200));
  ASSERT_EQ(0, db_.updateSizeFilter(1, 200, 100));
  ASSERT_EQ(0, db_.getSizeFilter(1, info));
  EXPECT_EQ("100", std::string(info.filter_desc.utf8_view()));
  EXPECT_EQ(8u, info.sync_id);
  ASSERT_EQ(0, db_.rmSizeFilter(1, 100));
  info = FilterInfo{0, ""};
  ASSERT_EQ(0, db_.getSizeFilter(1, info));
  EXPECT_EQ("", std::string(info.filter_desc.utf8_view()));
}

TEST_F(FilterDBTest, ResumeConditionsKeepTheirRowIds) {
  uint64_t row = 0;
  EXPECT_EQ(0, db_.getResumeCondition(row, *std::make_unique<ResumeCondition>()));
  uint64_t a = 0, b = 0;
  ASSERT_EQ(0, db_.setResumeCondition({1, 10, -13, "/Big"}, a));
  ASSERT_EQ(0, db_.setResumeCondition({2, 11, -15, "from=1,to=2"}, b));
  EXPECT_NE(a, b);
  ASSERT_EQ(0, db_.updateResumeSyncId(a, 99));
  std::list<std::pair<uint64_t, ResumeCondition>> conds;
  ASSERT_EQ(0, db_.getResumeConditionsBySession(1, conds));
  ASSERT_EQ(1u, conds.size());
  EXPECT_EQ(a, conds.front().first);
  EXPECT_EQ(99u, conds.front().second.sync_id);
  EXPECT_EQ(-13, conds.front().second.filter_type);
  ASSERT_EQ(0, db_.rmResumeCondition(a));
  ResumeCondition c;
  ASSERT_EQ(1, db_.getResumeCondition(row, c));
  EXPECT_EQ(b, row);
  EXPECT_EQ(2u, c.sess_id);
  EXPECT_EQ("from=1,to=2", std::string(c.filter_desc.utf8_view()));
}

TEST_F(FilterDBTest, FilteredLocalEventsRoundTripAndSubtreeRemoval) {
  FilterLocalEvent out;
  EXPECT_EQ(0, db_.getLocalFilteredEventByPath(7, "/a", out));
  for (const char* p : {"/a", "/a/b", "/a/b/c", "/ab", "/a*", "/a*/x"}) {
    ASSERT_EQ(0, db_.setLocalFilteredEvent(Event(p, -14)));
  }
  FilterLocalEvent replaced = Event("/ab", -12);
  replaced.is_exist = 0;
  ASSERT_EQ(0, db_.setLocalFilteredEvent(replaced));
  ASSERT_EQ(1, db_.getLocalFilteredEventByPath(7, "/ab", out));
  EXPECT_EQ(-12, out.filtered_type);
  EXPECT_EQ(0, out.is_exist);
  EXPECT_EQ(1ull << 40, out.file_size);
  EXPECT_EQ(4000000000u, out.file_mod_time);
  EXPECT_EQ("m'q", std::string(out.mac_hash.utf8_view()));
  EXPECT_EQ(99u, out.inode);
  ASSERT_EQ(0, db_.rmLocalFilteredEventByPath(7, "/a"));
  std::set<FilterLocalEvent> left;
  ASSERT_EQ(0, db_.dumpLocalFilteredEvent(7, left));
  std::vector<std::string> paths;
  for (auto& e : left) paths.push_back(std::string(e.path.utf8_view()));
  EXPECT_EQ((std::vector<std::string>{"/a*", "/a*/x", "/ab"}), paths);
  ASSERT_EQ(0, db_.cleanLocalFilteredEventBySession(7));
  left.clear();
  ASSERT_EQ(0, db_.dumpLocalFilteredEvent(7, left));
  EXPECT_TRUE(left.empty());
}

TEST_F(FilterDBTest, EventOverflowDefaultsToOne) {
  int overflow = 0;
  ASSERT_EQ(0, db_.checkEventOverflow(overflow));
  EXPECT_EQ(1, overflow);
  ASSERT_EQ(0, db_.setConfigItem("event_overflow", "0"));
  ASSERT_EQ(0, db_.checkEventOverflow(overflow));
  EXPECT_EQ(0, overflow);
}

TEST_F(FilterDBTest, ClosedDatabaseFails) {
  db_.destroy();
  EXPECT_EQ(-1, db_.setFilter(1, 1, -13, "/x"));
  int overflow;
  EXPECT_EQ(-1, db_.checkEventOverflow(overflow));
  FilterDB bad;
  EXPECT_EQ(-1, bad.initialize(ustring(dir_.Join("no/such/dir/f.db"))));
}

}  // namespace
}  // namespace tidewell

namespace tidewell {
namespace {

// Filtered local events set and removed (with their subtrees) at random,
// against a std::map model.
TEST_F(FilterDBTest, RandomFilteredEventsMatchMapModel) {
  const uint64_t seed = testing::TestSeed();
  SCOPED_TRACE("seed=" + std::to_string(seed));
  std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
  const char* paths[] = {"/a", "/a/b", "/a/b/c", "/ab", "/a*", "/a*/x", "/a_b", "/a%/y", "/z"};
  std::map<std::pair<uint64_t, std::string>, int> model;  // (session, path) -> filtered_type
  for (int step = 0; step < 300; ++step) {
    uint64_t sess = 1 + rng() % 2;
    std::string path = paths[rng() % 9];
    if (rng() % 4 == 0) {
      ASSERT_EQ(0, db_.rmLocalFilteredEventByPath(sess, ustring(path)));
      for (auto it = model.begin(); it != model.end();) {
        bool below = it->first.first == sess &&
                     (it->first.second == path || it->first.second.rfind(path + "/", 0) == 0);
        it = below ? model.erase(it) : std::next(it);
      }
    } else {
      FilterLocalEvent ev = Event(path.c_str(), -12 - static_cast<int>(rng() % 3));
      ev.sess_id = sess;
      ASSERT_EQ(0, db_.setLocalFilteredEvent(ev));
      model[{sess, path}] = ev.filtered_type;
    }
  }
  for (uint64_t sess = 1; sess <= 2; ++sess) {
    std::set<FilterLocalEvent> rows;
    ASSERT_EQ(0, db_.dumpLocalFilteredEvent(sess, rows));
    std::map<std::string, int> got, want;
    for (const auto& e : rows) got[std::string(e.path.utf8_view())] = e.filtered_type;
    for (const auto& [key, type] : model) {
      if (key.first == sess) want[key.second] = type;
    }
    EXPECT_EQ(want, got);
  }
}

}  // namespace
}  // namespace tidewell
