#include "delta/delta_handler.h"

#include <gtest/gtest.h>

#include "common/random.h"
#include "delta_test_util.h"

namespace tidewell {
namespace {

using testing::ApplyDelta;
using testing::Bytes;
using testing::MakeDelta;
using testing::MakeSignature;
using testing::RandomBytes;
using testing::TempDir;

class DeltaHandlerTest : public ::testing::Test {
 protected:
  // Signs `basis`, deltas `next` against it, checks the patch rebuilds
  // `next`, and returns the delta's bytes.
  std::string Delta(const std::string& basis, const std::string& next, uint32_t block = 2048) {
    dir_.WriteFile("basis", basis);
    dir_.WriteFile("new", next);
    EXPECT_EQ(0, MakeSignature(dir_, "basis", "sig", block));
    EXPECT_EQ(0, MakeDelta(dir_, "sig", "new", "delta"));
    EXPECT_EQ(0, ApplyDelta(dir_, "basis", "delta", "rebuilt"));
    EXPECT_EQ(next, dir_.ReadFile("rebuilt"));
    return dir_.ReadFile("delta");
  }

  TempDir dir_;
};

TEST_F(DeltaHandlerTest, IdenticalFileIsOneCopy) {
  const std::string basis = RandomBytes(1, 4096);
  EXPECT_EQ(Bytes({0x72, 0x73, 0x02, 0x36, 0x46, 0x00, 0x10, 0x00, 0x00}), Delta(basis, basis));
}

TEST_F(DeltaHandlerTest, ShortFileIsOneImmediateLiteral) {
  const std::string next = "0123456789";
  EXPECT_EQ(Bytes({0x72, 0x73, 0x02, 0x36, 0x0A}) + next + Bytes({0}),
            Delta(RandomBytes(2, 5000), next));
}

TEST_F(DeltaHandlerTest, ByteInsertedAtTheFrontIsOneLiteralAndOneCopy) {
  const std::string basis = RandomBytes(3, 8 * 2048);
  EXPECT_EQ(Bytes({0x72, 0x73, 0x02, 0x36, 0x01, 'X', 0x46, 0x00, 0x40, 0x00, 0x00}),
            Delta(basis, "X" + basis));
}

TEST_F(DeltaHandlerTest, EmptyFilesGiveTheBareDelta) {
  EXPECT_EQ(Bytes({0x72, 0x73, 0x02, 0x36, 0x00}), Delta("", ""));
  EXPECT_EQ(Bytes({0x72, 0x73, 0x02, 0x36, 0x00}), Delta(RandomBytes(4, 3000), ""));
}

// The tail that never fills a window is a literal even when it equals the
// basis's short last block, and a run stops at the signature's last block.
TEST_F(DeltaHandlerTest, PartialTailIsLiteralAndRunsStopAtTheLastBlock) {
  const std::string basis = RandomBytes(5, 2 * 2048 + 100);
  const std::string delta = Delta(basis, basis);
  EXPECT_EQ(Bytes({0x72, 0x73, 0x02, 0x36, 0x46, 0x00, 0x10, 0x00, 0x41, 100}) +
                basis.substr(4096) + Bytes({0}),
            delta);
  // Basis blocks A B; new file A B A: the run A B cannot run on past B, so
  // the second A opens a new run.
  const std::string ab = RandomBytes(6, 2 * 2048);
  EXPECT_EQ(Bytes({0x72, 0x73, 0x02, 0x36, 0x46, 0x00, 0x10, 0x00, 0x46, 0x00, 0x08, 0x00, 0x00}),
            Delta(ab, ab + ab.substr(0, 2048)));
}

// Among blocks with equal content the lowest-numbered one is chosen, and a
// run goes on only with the block that follows it in the basis.
TEST_F(DeltaHandlerTest, DuplicateBlocksPickTheFirstAndRunsFollowTheBasis) {
  const std::string a = RandomBytes(7, 1024), b = RandomBytes(8, 1024);
  // Basis: B A A B (block size 1024); new: A B.
  const std::string delta = Delta(b + a + a + b, a + b, 1024);
  // A is block 1 (not 2); block 2 is A, not B, so the run ends; B is block 0.
  EXPECT_EQ(Bytes({0x72, 0x73, 0x02, 0x36, 0x4A, 0x04, 0x00, 0x04, 0x00, 0x46, 0x00, 0x04, 0x00,
                   0x00}),
            delta);
}

TEST_F(DeltaHandlerTest, LiteralsAreSplitAtInputChunks) {
  // 3 MiB of new content against an unrelated basis comes in three pieces of
  // 1 MiB. Each piece's literal ends where the last whole window began; the
  // 2047 bytes after it wait for the next piece, and finally form the tail.
  const std::string next = RandomBytes(9, 3 << 20);
  const std::string delta = Delta(RandomBytes(10, 4096), next);
  const size_t first = (1 << 20) - 2047;
  ASSERT_EQ(4u + (5 + first) + 2 * (5 + (1 << 20)) + (3 + 2047) + 1, delta.size());
  EXPECT_EQ(Bytes({0x43, 0x00, 0x0F, 0xF8, 0x01}), delta.substr(4, 5));
  EXPECT_EQ(Bytes({0x43, 0x00, 0x10, 0x00, 0x00}), delta.substr(9 + first, 5));
  EXPECT_EQ(Bytes({0x42, 0x07, 0xFF}), delta.substr(delta.size() - 2051, 3));
}

// Seeded edits of every kind against a model: the patch must rebuild the
// file, and unchanged stretches must travel as copies.
TEST_F(DeltaHandlerTest, RandomEditsRoundTrip) {
  const uint64_t seed = testing::TestSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
  const std::string basis = RandomBytes(seed, 300000);
  for (int round = 0; round < 8; ++round) {
    std::string next = basis;
    const int edits = 1 + static_cast<int>(rng() % 6);
    for (int e = 0; e < edits; ++e) {
      const size_t at = rng() % (next.size() + 1);
      switch (rng() % 4) {
        case 0: next.insert(at, RandomBytes(rng(), rng() % 5000)); break;
        case 1: next.erase(at, rng() % 5000); break;
        case 2: if (at < next.size()) next[at] = static_cast<char>(next[at] ^ 0x5A); break;
        default: {  // move a stretch
          const std::string piece = next.substr(at, rng() % 20000);
          next.erase(at, piece.size());
          next.insert(rng() % (next.size() + 1), piece);
        }
      }
    }
    const std::string delta = Delta(basis, next);
    EXPECT_LT(delta.size(), next.size() / 2) << "round " << round;
  }
}

TEST_F(DeltaHandlerTest, BadSignaturesFailTheReader) {
  dir_.WriteFile("new", "data");
  const std::string header = Bytes({0x72, 0x73, 0x01, 0x36, 0, 0, 0x08, 0, 0, 0, 0, 0x08});
  const std::string cases[] = {
      "",                                                           // no header
      header.substr(0, 11),                                         // short header
      Bytes({0x72, 0x73, 0x02, 0x36}) + header.substr(4),           // delta magic
      header.substr(0, 4) + Bytes({0, 0, 0, 0}) + header.substr(8),  // block size 0
      header.substr(0, 4) + Bytes({0x7F, 0, 0, 0}) + header.substr(8),  // huge blocks
      header.substr(0, 8) + Bytes({0, 0, 0, 0}),                    // hash size 0
      header.substr(0, 8) + Bytes({0, 0, 0, 17}),                   // hash size 17
      header + std::string(13, 'x'),                                // 1.08 entries
  };
  for (const std::string& sig : cases) {
    dir_.WriteFile("sig", sig);
    EXPECT_EQ(-3, MakeDelta(dir_, "sig", "new", "delta")) << ::testing::PrintToString(sig);
  }
  EXPECT_EQ(-3, MakeDelta(dir_, "missing", "new", "delta"));
}

}  // namespace
}  // namespace tidewell
