#include "session/registry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <thread>

#include "common/random.h"

namespace tidewell {
namespace {

Registry::Entry Session(uint64_t id) {
  Registry::Entry e;
  e.sess_id = id;
  e.local_path = "/data/s" + std::to_string(id);
  return e;
}

TEST(RegistryTest, FindNextCyclesThroughSessions) {
  Registry r;
  Registry::Entry e;
  EXPECT_FALSE(r.FindNext(0, e));
  for (uint64_t id : {12, 5, 9}) r.Set(Session(id));
  auto next = [&](uint64_t from) {
    Registry::Entry out;
    EXPECT_TRUE(r.FindNext(from, out));
    return out.sess_id;
  };
  EXPECT_EQ(next(5), 9u);
  EXPECT_EQ(next(9), 12u);
  EXPECT_EQ(next(12), 5u);
  EXPECT_EQ(next(0), 5u);
  EXPECT_EQ(next(7), 5u);
}

TEST(RegistryTest, SetReplacesEveryFieldAndFindCopies) {
  Registry r;
  r.Set(Session(3));
  Registry::Entry e;
  ASSERT_EQ(r.Find(3, e), 1);
  EXPECT_FALSE(e.pause);
  e.pause = true;
  EXPECT_EQ(r.Find(3, e), 1);  // the copy was not a reference
  EXPECT_FALSE(e.pause);
  e.pause = true;
  r.Set(e);
  Registry::Entry again;
  ASSERT_EQ(r.Find(3, again), 1);
  EXPECT_TRUE(again.pause);
  EXPECT_EQ(again.local_path, ustring("/data/s3"));
  Registry::Entry untouched = Session(99);
  EXPECT_EQ(r.Find(4, untouched), 0);
  EXPECT_EQ(untouched.sess_id, 99u);
}

TEST(RegistryTest, RecycleTimeKeepsEarliestUnlessUpdated) {
  Registry r;
  r.Set(Session(1));
  Registry::Entry e = Session(1), out;
  r.InitRecycleTime(e, 100);
  r.InitRecycleTime(e, 50);
  r.Find(1, out);
  EXPECT_EQ(out.recycle_time, 50u);
  r.InitRecycleTime(e, 100);
  r.Find(1, out);
  EXPECT_EQ(out.recycle_time, 50u);
  r.UpdateRecycleTime(e, 100);
  r.Find(1, out);
  EXPECT_EQ(out.recycle_time, 100u);
  r.UpdateRecycleTime(Session(2), 7);  // absent: nothing
  EXPECT_EQ(r.Size(), 1u);
}

TEST(RegistryTest, ClearReleasesObjectsOnlyAfterLastCopy) {
  Registry r;
  int released = 0;
  std::shared_ptr<int> owner(new int(0), [&](int* p) {
    ++released;
    delete p;
  });
  Registry::Entry e = Session(4);
  // A stand-in object: the database type itself is not needed to count
  // references.
  e.event_db = std::shared_ptr<FileEventDB>(owner, nullptr);
  owner.reset();
  r.Set(e);
  e.clear();
  Registry::Entry held;
  ASSERT_EQ(r.Find(4, held), 1);
  r.Clear(4);
  r.Clear(4);  // absent: nothing
  EXPECT_EQ(r.Size(), 0u);
  EXPECT_EQ(released, 0);  // a task still holds a copy
  held.clear();
  EXPECT_EQ(released, 1);
}

TEST(RegistryTest, RandomOperationsMatchMap) {
  const uint64_t seed = testing::TestSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  Registry r;
  std::map<uint64_t, uint32_t> model;  // id -> recycle_time
  for (int step = 0; step < 3000; ++step) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step));
    uint64_t id = rng() % 8;
    switch (rng() % 5) {
      case 0: r.Set(Session(id)); model[id] = 0; break;
      case 1: r.Remove(id); model.erase(id); break;
      case 2: {
        uint32_t t = 1 + rng() % 100;
        r.InitRecycleTime(Session(id), t);
        auto it = model.find(id);
        if (it != model.end() && (it->second == 0 || it->second > t)) it->second = t;
        break;
      }
      case 3: {
        Registry::Entry e;
        bool found = r.FindNext(id, e);
        ASSERT_EQ(found, !model.empty());
        if (!found) break;
        auto it = model.find(id);
        if (it != model.end()) ++it;
        if (it == model.end()) it = model.begin();
        ASSERT_EQ(e.sess_id, it->first);
        ASSERT_EQ(e.recycle_time, it->second);
        break;
      }
      default: {
        Registry::Entry e;
        ASSERT_EQ(r.Find(id, e), model.count(id) ? 1 : 0);
      }
    }
    ASSERT_EQ(r.Size(), model.size());
  }
}

// Pausing and resuming rewrite the pause flag while the recycle cleaner
// writes recycle_time: neither may undo the other's write.
TEST(RegistryTest, UpdateKeepsConcurrentChangesOfOtherFields) {
  Registry r;
  r.Set(Session(4));
  constexpr uint32_t kTimes = 20000;
  std::thread cleaner([&] {
    for (uint32_t t = 1; t <= kTimes; ++t) r.UpdateRecycleTime(Session(4), t);
  });
  int toggles = 0;
  for (; toggles < 20001; ++toggles) {
    EXPECT_EQ(1, r.Update(4, [](Registry::Entry& e) { e.pause = !e.pause; }));
  }
  cleaner.join();
  Registry::Entry e;
  ASSERT_EQ(1, r.Find(4, e));
  EXPECT_EQ(kTimes, e.recycle_time);
  EXPECT_TRUE(e.pause);  // an odd number of toggles
  EXPECT_EQ(0, r.Update(5, [](Registry::Entry& x) { x.pause = true; }));
  // The key cannot be changed through an update.
  EXPECT_EQ(1, r.Update(4, [](Registry::Entry& x) { x.sess_id = 99; }));
  EXPECT_EQ(1, r.Find(4, e));
  EXPECT_EQ(0, r.Find(99, e));
}

}  // namespace
}  // namespace tidewell
