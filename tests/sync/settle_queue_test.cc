// The settling policy of the change detector with a hand-driven clock and
// scripted file stamps: a file is handed on once it stayed unchanged for the
// delay, a file that keeps changing is looked at with a doubling wait up to
// the ceiling and never given up on, gone files are dropped.

#include "sync/settle_queue.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>

#include "common/random.h"

namespace tidewell {
namespace {

using std::chrono::milliseconds;
using Clock = SettleQueue::Clock;

class SettleQueueTest : public ::testing::Test {
 protected:
  // The stamp a look at `path` sees: its "version" as the size; absent
  // paths are gone.
  FileStamp StampOf(const std::string& path) {
    FileStamp s;
    auto it = versions.find(path);
    if (it == versions.end()) return s;
    s.exists = true;
    s.type = FT_FILE;
    s.size = it->second;
    return s;
  }
  std::vector<SettleQueue::Settled> Look(Clock::time_point now, std::vector<SettleQueue::StillChanging>* ch = nullptr) {
    return queue.TakeSettled(
        now,
        [this](const std::string& p, FileStamp& s) {
          ++looks;
          s = StampOf(p);
          return 0;
        },
        ch);
  }

  SettleQueue queue{milliseconds(1000), milliseconds(8000)};
  std::map<std::string, uint64_t> versions;
  int looks = 0;
  const Clock::time_point t0 = Clock::time_point() + std::chrono::hours(1);
};

TEST_F(SettleQueueTest, AnUnchangedFileSettlesAfterTheDelayOnce) {
  versions["/a"] = 1;
  queue.Hold("/a", Event::EV_CREATE, StampOf("/a"), t0);
  EXPECT_EQ(t0 + milliseconds(1000), queue.NextDue());
  EXPECT_TRUE(Look(t0 + milliseconds(999)).empty());
  EXPECT_EQ(0, looks) << "nothing is looked at before it is due";
  auto settled = Look(t0 + milliseconds(1000));
  ASSERT_EQ(1u, settled.size());
  EXPECT_EQ("/a", settled[0].path);
  EXPECT_EQ(Event::EV_CREATE, settled[0].type);
  EXPECT_EQ(0u, queue.size());
  EXPECT_TRUE(Look(t0 + std::chrono::hours(1)).empty());
  EXPECT_EQ(Clock::time_point::max(), queue.NextDue());
}

TEST_F(SettleQueueTest, AFileThatKeepsChangingBacksOffToTheCeilingAndIsNeverDropped) {
  versions["/big"] = 0;
  queue.Hold("/big", Event::EV_CREATE, StampOf("/big"), t0);
  Clock::time_point now = t0;
  std::vector<long long> waits;
  for (int i = 0; i < 12; ++i) {
    now = queue.NextDue();
    ++versions["/big"];  // written again before every look
    std::vector<SettleQueue::StillChanging> changing;
    EXPECT_TRUE(Look(now, &changing).empty());
    ASSERT_EQ(1u, changing.size());
    waits.push_back(changing[0].next_wait.count());
  }
  EXPECT_EQ((std::vector<long long>{2000, 4000, 8000, 8000, 8000, 8000, 8000, 8000, 8000, 8000, 8000, 8000}), waits);
  EXPECT_TRUE(queue.IsHeld("/big"));
  // Once the writer stops, the next look hands it on.
  auto settled = Look(queue.NextDue());
  ASSERT_EQ(1u, settled.size());
  EXPECT_EQ("/big", settled[0].path);
}

TEST_F(SettleQueueTest, ReleaseHoldAgainGoneAndUnreadableFiles) {
  versions["/a"] = 1;
  versions["/b"] = 1;
  queue.Hold("/a", Event::EV_CREATE, StampOf("/a"), t0);
  // A second notice keeps the schedule and takes the newer change.
  queue.Hold("/a", Event::EV_MODIFY, StampOf("/a"), t0 + milliseconds(900));
  queue.Hold("/b", Event::EV_CREATE, StampOf("/b"), t0);
  Event::Type type = Event::EV_EMPTY;
  EXPECT_TRUE(queue.Release("/b", &type));
  EXPECT_EQ(Event::EV_CREATE, type);
  EXPECT_FALSE(queue.Release("/b"));
  auto settled = Look(t0 + milliseconds(1000));
  ASSERT_EQ(1u, settled.size());
  EXPECT_EQ(Event::EV_MODIFY, settled[0].type);

  // A file that went, or became something else, is dropped silently.
  queue.Hold("/gone", Event::EV_CREATE, StampOf("/a"), t0);
  versions["/dir"] = 1;
  queue.Hold("/dir", Event::EV_CREATE, StampOf("/dir"), t0);
  auto one = queue.TakeSettled(t0 + milliseconds(1000), [&](const std::string& p, FileStamp& s) {
    s = StampOf(p);
    if (p == "/dir") s.type = FT_DIR;
    return 0;
  });
  EXPECT_TRUE(one.empty());
  EXPECT_EQ(0u, queue.size());

  // One that cannot be looked at stays and is looked at again later.
  queue.Hold("/locked", Event::EV_CREATE, StampOf("/a"), t0);
  EXPECT_TRUE(queue.TakeSettled(t0 + milliseconds(1000), [](const std::string&, FileStamp&) { return -1; }).empty());
  EXPECT_TRUE(queue.IsHeld("/locked"));
  EXPECT_EQ(t0 + milliseconds(3000), queue.NextDue());
}

TEST_F(SettleQueueTest, RandomWritersMatchAModel) {
  // TIDEWELL_SEED replays a run.
  const uint64_t seed = testing::TestSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
  // Model: per path, the time of its last change; a path must be handed on
  // exactly when a look finds it unchanged since the previous look, and
  // never while it is not held.
  std::map<std::string, Clock::time_point> held_since;
  Clock::time_point now = t0;
  for (int step = 0; step < 2000; ++step) {
    now += milliseconds(rng() % 700);
    const std::string path = "/f" + std::to_string(rng() % 6);
    switch (rng() % 4) {
      case 0:  // a new or changed file
        ++versions[path];
        queue.Hold(path, Event::EV_MODIFY, StampOf(path), now);
        held_since.emplace(path, now);
        break;
      case 1:  // written again without a notice (still open)
        if (versions.count(path)) ++versions[path];
        break;
      case 2:  // closed after writing: released by the caller
        EXPECT_EQ(held_since.count(path) != 0, queue.Release(path));
        held_since.erase(path);
        break;
      default: {
        for (const auto& s : Look(now)) {
          ASSERT_TRUE(held_since.count(s.path)) << s.path;
          EXPECT_GE(now - held_since[s.path], milliseconds(1000)) << "handed on before the delay";
          held_since.erase(s.path);
        }
        break;
      }
    }
    for (const auto& [p, since] : held_since) ASSERT_TRUE(queue.IsHeld(p)) << p << " lost at step " << step;
  }
  EXPECT_EQ(held_since.size(), queue.size());
  // Once every writer stopped, everything held is handed on within two
  // ceilings.
  const Clock::time_point quiet = now;
  while (queue.size() != 0 && now - quiet < milliseconds(16000)) {
    now = queue.NextDue();
    for (const auto& s : Look(now)) held_since.erase(s.path);
  }
  EXPECT_EQ(0u, queue.size());
  EXPECT_TRUE(held_since.empty());
}

}  // namespace
}  // namespace tidewell
