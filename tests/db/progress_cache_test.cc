#include "db/progress_cache.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace tidewell {
namespace {

ResumeCondition Cond(uint64_t sess, uint64_t sync, const char* desc) {
  return ResumeCondition{sess, sync, -13, ustring(desc)};
}

TEST(ProgressCacheTest, FirstEntryIsHandedOutUntilRemoved) {
  ProgressCache cache;
  ProgressCache::Entry e;
  EXPECT_FALSE(cache.getProgressEntry(e));
  cache.addProgressEntry(5, Cond(1, 10, "/a"));
  cache.addProgressEntry(6, Cond(2, 20, "/b"));
  ASSERT_TRUE(cache.getProgressEntry(e));
  EXPECT_EQ(5u, e.row_id);
  EXPECT_EQ("/a", std::string(e.condition.filter_desc.utf8_view()));
  cache.rmProgressEntry(99);  // unknown: nothing changes
  ASSERT_TRUE(cache.getProgressEntry(e));
  EXPECT_EQ(5u, e.row_id);
  cache.updateProgressSyncId(6, 77);
  cache.updateProgressSyncId(42, 1);
  cache.rmProgressEntry(5);
  ASSERT_TRUE(cache.getProgressEntry(e));
  EXPECT_EQ(6u, e.row_id);
  EXPECT_EQ(77u, e.condition.sync_id);
  EXPECT_TRUE(cache.isInProgrssCache(2));
  EXPECT_FALSE(cache.isInProgrssCache(1));
}

TEST(ProgressCacheTest, ConcurrentUseKeepsEveryEntry) {
  ProgressCache cache;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&cache, t] {
      for (int i = 0; i < 200; ++i) {
        uint64_t row = static_cast<uint64_t>(t * 1000 + i);
        cache.addProgressEntry(row, Cond(static_cast<uint64_t>(t), row, "/x"));
        cache.updateProgressSyncId(row, row + 1);
        if (i % 2 == 0) cache.rmProgressEntry(row);
      }
    });
  }
  for (auto& th : threads) th.join();
  int left = 0;
  ProgressCache::Entry e;
  while (cache.getProgressEntry(e)) {
    EXPECT_EQ(e.row_id + 1, e.condition.sync_id);
    EXPECT_EQ(1u, e.row_id % 2);
    cache.rmProgressEntry(e.row_id);
    ++left;
  }
  EXPECT_EQ(400, left);
}

}  // namespace
}  // namespace tidewell
