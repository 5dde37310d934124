#include "delta/reverse_delta.h"

#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "common/random.h"

namespace tidewell {
namespace {

// Model: for each basis byte, the new-file position of its newest copy, or -1.
TEST(ReverseDeltaTest, NewestCopyWinsAndBlocksNeverOverlap) {
  const uint64_t seed = testing::TestSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
  for (int round = 0; round < 50; ++round) {
    const size_t basis = 1 + rng() % 300;
    std::vector<long> model(basis, -1);
    ReverseDelta reverse;
    uint64_t new_at = 0;
    for (int i = 0; i < 40; ++i) {
      const uint64_t start = rng() % basis;
      const uint64_t length = rng() % (basis - start + 1);
      reverse.AddCopy(start, length, new_at);
      for (uint64_t k = 0; k < length; ++k) model[start + k] = static_cast<long>(new_at + k);
      new_at += length + rng() % 5;
    }
    std::vector<long> seen(basis, -1);
    uint64_t last_end = 0;
    for (const auto& [key, b] : reverse.blocks()) {
      ASSERT_EQ(key, b.start);
      ASSERT_GT(b.length, 0u);
      ASSERT_GE(b.start, last_end) << "blocks overlap";
      last_end = b.start + b.length;
      for (uint64_t k = 0; k < b.length; ++k) seen[b.start + k] = static_cast<long>(b.new_start + k);
    }
    ASSERT_EQ(model, seen) << "round " << round;
  }
}

}  // namespace
}  // namespace tidewell
