#include "delta/md4.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "delta_test_util.h"

namespace tidewell {
namespace {

std::string Hex(const uint8_t* d) {
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < kMD4DigestSize; ++i) {
    s += kHex[d[i] >> 4];
    s += kHex[d[i] & 15];
  }
  return s;
}

std::string Digest(const std::string& m) {
  uint8_t d[kMD4DigestSize];
  MD4Digest(m.data(), m.size(), d);
  return Hex(d);
}

TEST(MD4Test, MatchesTheRfc1320TestSuite) {
  EXPECT_EQ("31d6cfe0d16ae931b73c59d7e0c089c0", Digest(""));
  EXPECT_EQ("bde52cb31de33e46245e05fbdbd6fb24", Digest("a"));
  EXPECT_EQ("a448017aaf21d8525fc10ae87aa6729d", Digest("abc"));
  EXPECT_EQ("d9130a8164549fe818874806e1c7014b", Digest("message digest"));
  EXPECT_EQ("d79e1c308aa5bbcdeea8ed63df412da9", Digest("abcdefghijklmnopqrstuvwxyz"));
  EXPECT_EQ("043f8582f241db351ce627e153e7f0e4",
            Digest("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"));
  EXPECT_EQ("e33b4ddc9c38f2199c3e7b164fcc0536",
            Digest("1234567890123456789012345678901234567890123456789012345678901234567890"
                   "1234567890"));
}

TEST(MD4Test, PiecewiseUpdatesEqualOneShot) {
  const std::string m = testing::RandomBytes(7, 1000);
  for (size_t piece : {1u, 3u, 55u, 63u, 64u, 65u, 999u}) {
    MD4 md4;
    for (size_t at = 0; at < m.size(); at += piece) {
      md4.Update(m.data() + at, std::min(piece, m.size() - at));
    }
    uint8_t d[kMD4DigestSize];
    md4.Final(d);
    EXPECT_EQ(Digest(m), Hex(d)) << "piece " << piece;
  }
}

// The multi-lane path must agree with the plain one for every length class
// (padding in one or two chunks) and for batches that use 16, 8 and 1 lanes.
TEST(MD4Test, ManyAtOnceEqualsOneByOne) {
  for (size_t length : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 1000u, 2048u}) {
    for (size_t count : {1u, 7u, 8u, 9u, 16u, 25u, 40u}) {
      const size_t stride = length + 13;
      const std::string data = testing::RandomBytes(static_cast<uint32_t>(length * 100 + count),
                                                    stride * count + 1);
      std::string many(count * kMD4DigestSize, '\0');
      MD4DigestMany(reinterpret_cast<const uint8_t*>(data.data()), stride, length, count,
                    reinterpret_cast<uint8_t*>(many.data()));
      for (size_t i = 0; i < count; ++i) {
        ASSERT_EQ(Digest(data.substr(i * stride, length)),
                  Hex(reinterpret_cast<const uint8_t*>(many.data()) + i * kMD4DigestSize))
            << "length " << length << " count " << count << " message " << i;
      }
    }
  }
}

}  // namespace
}  // namespace tidewell
