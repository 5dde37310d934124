// The session status table against a plain map model, with random
// operations from a printed seed (replay with TIDEWELL_SEED=<seed>), and
// under concurrent writers.

#include "common/random.h"
#include "session/session_state.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>
#include <thread>
#include <vector>

namespace tidewell {
namespace {

using Status = SessionStateTable::Status;

TEST(SessionStateTableTest, MatchesAMapModel) {
  const uint64_t seed = testing::TestSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
  SessionStateTable table;
  std::map<uint64_t, Status> model;
  for (int step = 0; step < 20000; ++step) {
    const uint64_t id = rng() % 8;
    const ustring text("error " + std::to_string(step));
    switch (rng() % 7) {
      case 0: {
        auto state = static_cast<SessionStateTable::State>(rng() % 4);
        table.SetState(id, state);
        model[id].state = state;
        if (state != SessionStateTable::kHeld) model[id].held_removals = 0;
        break;
      }
      case 1:
        table.SetError(id, text);
        model[id].state = SessionStateTable::kError;
        model[id].last_error = text;
        break;
      case 2: {
        uint64_t n = rng() % 1000;
        table.SetHeld(id, n, text);
        model[id] = Status{SessionStateTable::kHeld, text, n};
        break;
      }
      case 3:
        table.SetOk(id);
        if (model.count(id) && model[id].state == SessionStateTable::kError) model[id].state = SessionStateTable::kOk;
        break;
      case 4:
        table.Clear(id);
        model.erase(id);
        break;
      default: {
        Status got;
        int found = table.Get(id, got);
        ASSERT_EQ(model.count(id) ? 1 : 0, found) << "seed " << seed << " step " << step;
        Status want = model.count(id) ? model[id] : Status();
        ASSERT_EQ(want.state, got.state) << "seed " << seed << " step " << step;
        ASSERT_EQ(want.last_error, got.last_error) << "seed " << seed << " step " << step;
        ASSERT_EQ(want.held_removals, got.held_removals) << "seed " << seed << " step " << step;
      }
    }
  }
  table.Clear();
  Status got;
  EXPECT_EQ(0, table.Get(1, got));
  EXPECT_STREQ("ok", SessionStateTable::StateName(got.state));
}

TEST(SessionStateTableTest, ConcurrentWritersLeaveWholeEntries) {
  SessionStateTable table;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&table, t] {
      for (int i = 0; i < 5000; ++i) table.SetHeld(7, static_cast<uint64_t>(t), ustring("held by " + std::to_string(t)));
    });
  }
  for (auto& th : threads) th.join();
  Status got;
  ASSERT_EQ(1, table.Get(7, got));
  // The count and the text always come from the same writer.
  EXPECT_EQ("held by " + std::to_string(got.held_removals), std::string(got.last_error.utf8_view()));
  EXPECT_STREQ("held", SessionStateTable::StateName(got.state));
}

}  // namespace
}  // namespace tidewell
