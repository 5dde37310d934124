#include "delta/rolling_checksum.h"

#include <gtest/gtest.h>

#include "delta_test_util.h"

namespace tidewell {
namespace {

// The definition, written the slow way: a = sum(x + 31), b = sum of prefix sums.
uint32_t Reference(const std::string& s) {
  uint32_t a = 0, b = 0;
  for (unsigned char c : s) {
    a += c + 31;
    b += a;
  }
  return (a & 0xFFFF) | (b << 16);
}

TEST(RollingChecksumTest, WeakSumFollowsTheDefinition) {
  EXPECT_EQ(0u, WeakSum(nullptr, 0));
  // One byte 0x00: a = 31, b = 31.
  const uint8_t zero = 0;
  EXPECT_EQ(31u | (31u << 16), WeakSum(&zero, 1));
  for (size_t n : {1u, 2u, 17u, 2048u, 70000u}) {
    const std::string s = testing::RandomBytes(static_cast<uint32_t>(n), n);
    EXPECT_EQ(Reference(s), WeakSum(reinterpret_cast<const uint8_t*>(s.data()), n)) << n;
  }
  // All 0xFF bytes drive the 32-bit sums past wrap-around.
  const std::string ff(100000, '\xff');
  EXPECT_EQ(Reference(ff), WeakSum(reinterpret_cast<const uint8_t*>(ff.data()), ff.size()));
}

TEST(RollingChecksumTest, RollingEqualsAFreshSumAtEveryPosition) {
  const std::string s = testing::RandomBytes(3, 5000);
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const size_t window = 700;
  RSRollingChecksum sum;
  for (size_t i = 0; i < window; ++i) sum.roll_in(p[i]);
  for (size_t start = 0; start + window < s.size(); ++start) {
    ASSERT_EQ(WeakSum(p + start, window), sum.digest()) << start;
    if (start % 2 == 0) {
      sum.rotate(p[start], p[start + window]);
    } else {
      sum.roll_out(p[start]);
      sum.roll_in(p[start + window]);
    }
  }
  EXPECT_EQ(window, sum.size());
  sum.clear();
  EXPECT_TRUE(sum.empty());
}

TEST(RollingChecksumTest, UpdateInPiecesEqualsOneUpdate) {
  const std::string s = testing::RandomBytes(4, 3000);
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  RSRollingChecksum sum;
  sum.update(p, 1);
  sum.update(p + 1, 999);
  sum.update(p + 1000, 2000);
  EXPECT_EQ(WeakSum(p, 3000), sum.digest());
  EXPECT_EQ(3000u, sum.size());
}

}  // namespace
}  // namespace tidewell
