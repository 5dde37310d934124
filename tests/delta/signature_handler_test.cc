#include "delta/signature_handler.h"

#include <gtest/gtest.h>

#include "delta/md4.h"
#include "delta/rolling_checksum.h"
#include "delta_test_util.h"

namespace tidewell {
namespace {

using testing::Bytes;
using testing::MakeSignature;
using testing::RandomBytes;
using testing::TempDir;

std::string Entry(const std::string& block, size_t hash_size) {
  const auto* p = reinterpret_cast<const uint8_t*>(block.data());
  const uint32_t weak = WeakSum(p, block.size());
  std::string e = Bytes({static_cast<int>(weak >> 24), static_cast<int>((weak >> 16) & 255),
                         static_cast<int>((weak >> 8) & 255), static_cast<int>(weak & 255)});
  uint8_t d[kMD4DigestSize];
  MD4Digest(p, block.size(), d);
  e.append(reinterpret_cast<const char*>(d), hash_size);
  return e;
}

TEST(SignatureHandlerTest, EmptyFileGivesTheHeaderAlone) {
  TempDir dir;
  dir.WriteFile("empty", "");
  ASSERT_EQ(0, MakeSignature(dir, "empty", "sig"));
  EXPECT_EQ(Bytes({0x72, 0x73, 0x01, 0x36, 0, 0, 0x08, 0, 0, 0, 0, 0x08}), dir.ReadFile("sig"));
}

TEST(SignatureHandlerTest, LastBlockIsSummedOverItsRealLength) {
  TempDir dir;
  const std::string data = RandomBytes(1, 5000);
  dir.WriteFile("basis", data);
  ASSERT_EQ(0, MakeSignature(dir, "basis", "sig"));
  const std::string sig = dir.ReadFile("sig");
  ASSERT_EQ(12u + 3 * 12, sig.size());
  EXPECT_EQ(Entry(data.substr(0, 2048), 8), sig.substr(12, 12));
  EXPECT_EQ(Entry(data.substr(2048, 2048), 8), sig.substr(24, 12));
  EXPECT_EQ(Entry(data.substr(4096, 904), 8), sig.substr(36, 12));
}

TEST(SignatureHandlerTest, OutOfRangeSizesFallBackToDefaults) {
  TempDir dir;
  dir.WriteFile("basis", RandomBytes(2, 3000));
  ASSERT_EQ(0, MakeSignature(dir, "basis", "sig", 0, 17));
  EXPECT_EQ(Bytes({0x72, 0x73, 0x01, 0x36, 0, 0, 0x08, 0, 0, 0, 0, 0x08}),
            dir.ReadFile("sig").substr(0, 12));
  ASSERT_EQ(0, MakeSignature(dir, "basis", "sig16", 1000, 16));
  const std::string sig = dir.ReadFile("sig16");
  EXPECT_EQ(12u + 3 * 20, sig.size());
  EXPECT_EQ(Bytes({0, 0, 0x03, 0xE8, 0, 0, 0, 0x10}), sig.substr(4, 8));
}

// Blocks that straddle the pieces handed to update() must come out the same
// as from one piece.
TEST(SignatureHandlerTest, PieceBoundariesDoNotChangeTheOutput) {
  TempDir dir;
  const std::string data = RandomBytes(3, 20000);
  dir.WriteFile("basis", data);
  ASSERT_EQ(0, MakeSignature(dir, "basis", "whole", 700, 5));
  SignatureHandler handler(ustring(dir.Join("pieces")), 700, 5);
  ASSERT_EQ(0, handler.begin());
  const auto* p = reinterpret_cast<const uint8_t*>(data.data());
  size_t at = 0;
  for (size_t piece : {1u, 699u, 700u, 701u, 1400u, 3u}) {
    ASSERT_EQ(0, handler.update(p + at, piece));
    ASSERT_EQ(0, handler.wait());
    at += piece;
  }
  ASSERT_EQ(0, handler.update(p + at, data.size() - at));
  ASSERT_EQ(0, handler.wait());
  ASSERT_EQ(0, handler.end());
  EXPECT_EQ(dir.ReadFile("whole"), dir.ReadFile("pieces"));
}

TEST(SignatureHandlerTest, UnwritableOutputFailsTheReader) {
  TempDir dir;
  dir.WriteFile("basis", "abc");
  EXPECT_EQ(-3, MakeSignature(dir, "basis", "no/such/dir/sig"));
  EXPECT_EQ(-2, MakeSignature(dir, "missing", "sig"));
}

}  // namespace
}  // namespace tidewell
