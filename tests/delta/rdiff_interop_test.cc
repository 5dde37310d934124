// The signature and delta formats against a real peer: Debian's rdiff, run
// as a program beside the built tidewell-delta, on the same files.

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "delta_test_util.h"

namespace tidewell {
namespace {

using testing::RandomBytes;
using testing::TempDir;

const std::string kTool = std::string(TIDEWELL_BINARY_DIR) + "/src/tidewell-delta";

// Runs a shell command in `dir`; its exit status, or -1 when it did not exit.
int Shell(const TempDir& dir, const std::string& command) {
  const std::string line = "cd '" + dir.path() + "' && " + command;
  const int status = std::system(line.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class RdiffInteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, Shell(dir_, "command -v rdiff >/dev/null")) << "rdiff is not installed";
  }

  // Both tools sign `basis`; the signatures must be the same bytes.
  void ExpectSameSignature(const std::string& data) {
    dir_.WriteFile("basis", data);
    ASSERT_EQ(0, Shell(dir_, "rdiff -f -H md4 -R rollsum -b 2048 -S 8 signature basis rdiff.sig"));
    ASSERT_EQ(0, Shell(dir_, kTool + " signature basis ours.sig"));
    const std::string theirs = dir_.ReadFile("rdiff.sig");
    ASSERT_EQ(12 + (data.size() + 2047) / 2048 * 12, theirs.size());
    EXPECT_EQ(theirs, dir_.ReadFile("ours.sig")) << data.size() << " bytes";
  }

  // Each tool's delta, applied by the other tool, rebuilds `next`.
  void ExpectCrossPatch(const std::string& basis, const std::string& next) {
    dir_.WriteFile("basis", basis);
    dir_.WriteFile("next", next);
    Shell(dir_, "rm -f ours.* rdiff.*");
    ASSERT_EQ(0, Shell(dir_, kTool + " signature basis ours.sig"));
    ASSERT_EQ(0, Shell(dir_, kTool + " delta ours.sig next ours.delta"));
    ASSERT_EQ(0, Shell(dir_, "rdiff patch basis ours.delta rdiff.new"));
    EXPECT_EQ(next, dir_.ReadFile("rdiff.new")) << "rdiff patch of our delta";

    ASSERT_EQ(0, Shell(dir_, "rdiff -H md4 -R rollsum -b 2048 -S 8 signature basis rdiff.sig"));
    ASSERT_EQ(0, Shell(dir_, "rdiff delta rdiff.sig next rdiff.delta"));
    ASSERT_EQ(0, Shell(dir_, kTool + " patch basis rdiff.delta ours.new"));
    EXPECT_EQ(next, dir_.ReadFile("ours.new")) << "our patch of rdiff's delta";

    // The reverse delta recorded while patching turns the result back.
    ASSERT_EQ(0, testing::ApplyDelta(dir_, "basis", "rdiff.delta", "ours.new2", "ours.reverse"));
    ASSERT_EQ(0, Shell(dir_, "rdiff patch ours.new2 ours.reverse rdiff.back"));
    EXPECT_EQ(basis, dir_.ReadFile("rdiff.back")) << "rdiff patch of our reverse delta";
  }

  TempDir dir_;
};

TEST_F(RdiffInteropTest, SignaturesAreByteIdentical) {
  ExpectSameSignature("");
  ExpectSameSignature("x");
  ExpectSameSignature(RandomBytes(1, 100));
  ExpectSameSignature(RandomBytes(2, 2048));
  ExpectSameSignature(RandomBytes(3, 2049));
  ExpectSameSignature(RandomBytes(4, 100 * 2048));
  ExpectSameSignature(RandomBytes(5, (3 << 20) + 1234));  // pieces and a partial block
  ExpectSameSignature(std::string(50000, '\0'));
}

TEST_F(RdiffInteropTest, OtherBlockAndSumSizesMatchToo) {
  dir_.WriteFile("basis", RandomBytes(6, 100000));
  ASSERT_EQ(0, Shell(dir_, "rdiff -H md4 -R rollsum -b 700 -S 16 signature basis rdiff.sig"));
  ASSERT_EQ(0, Shell(dir_, kTool + " signature -b 700 -S 16 basis ours.sig"));
  EXPECT_EQ(dir_.ReadFile("rdiff.sig"), dir_.ReadFile("ours.sig"));
}

TEST_F(RdiffInteropTest, DeltasCrossBetweenTheTools) {
  const std::string basis = RandomBytes(7, 400000);
  ExpectCrossPatch(basis, basis);                                          // no change
  ExpectCrossPatch(basis, basis.substr(0, 1000) + "inserted" + basis.substr(1000));
  ExpectCrossPatch(basis, basis.substr(0, 5000) + basis.substr(9000));     // deletion
  ExpectCrossPatch(basis, basis.substr(200000) + basis.substr(0, 200000)); // moved blocks
  ExpectCrossPatch(basis, RandomBytes(8, 300000));                         // unrelated
  ExpectCrossPatch(basis, "");
  ExpectCrossPatch("", basis.substr(0, 5000));
  ExpectCrossPatch("", "");
  std::string edited = basis;
  for (size_t at = 777; at < edited.size(); at += 30011) edited[at] ^= 1;
  ExpectCrossPatch(basis, edited);
}

TEST_F(RdiffInteropTest, ToolFailuresNameTheFileAndLeaveNoOutput) {
  dir_.WriteFile("basis", RandomBytes(9, 5000));
  dir_.WriteFile("bad.delta", "not a delta at all");
  EXPECT_NE(0, Shell(dir_, kTool + " patch basis bad.delta out 2>err"));
  EXPECT_EQ(0, Shell(dir_, "test ! -e out && test $(ls | grep -c tmp) -eq 0"));
  std::string err = dir_.ReadFile("err");
  EXPECT_NE(std::string::npos, err.find("bad.delta")) << err;
  EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;

  // A delta that copies beyond the basis, made for a longer basis.
  dir_.WriteFile("long", RandomBytes(10, 50000));
  ASSERT_EQ(0, Shell(dir_, kTool + " signature long long.sig"));
  ASSERT_EQ(0, Shell(dir_, kTool + " delta long.sig long long.delta"));
  EXPECT_NE(0, Shell(dir_, kTool + " patch basis long.delta out 2>err"));
  err = dir_.ReadFile("err");
  EXPECT_NE(std::string::npos, err.find("beyond the end of basis")) << err;
  EXPECT_EQ(0, Shell(dir_, "test ! -e out"));

  EXPECT_NE(0, Shell(dir_, kTool + " delta basis basis out 2>err"));  // basis is no signature
  err = dir_.ReadFile("err");
  EXPECT_NE(std::string::npos, err.find("basis: not a valid signature")) << err;
  EXPECT_NE(0, Shell(dir_, kTool + " signature missing out 2>err"));
  EXPECT_NE(std::string::npos, dir_.ReadFile("err").find("missing: No such file")) << err;
  EXPECT_NE(0, Shell(dir_, kTool + " signature basis nodir/out 2>err"));
  EXPECT_NE(std::string::npos, dir_.ReadFile("err").find("nodir/out: No such file")) << dir_.ReadFile("err");
  EXPECT_EQ(0, Shell(dir_, "test ! -e out"));
  EXPECT_EQ(2, Shell(dir_, kTool + " signature -b 0 basis out 2>/dev/null"));
  EXPECT_EQ(2, Shell(dir_, kTool + " patch basis 2>/dev/null"));

  // An existing output is replaced only by a complete new one.
  dir_.WriteFile("keep", "old content");
  EXPECT_NE(0, Shell(dir_, kTool + " patch basis bad.delta keep 2>/dev/null"));
  EXPECT_EQ("old content", dir_.ReadFile("keep"));
}

}  // namespace
}  // namespace tidewell
