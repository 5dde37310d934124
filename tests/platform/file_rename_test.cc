#include "platform/file_rename.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "common/temp_dir.h"
#include "fs_test_util.h"

namespace tidewell {
namespace {

using ::tidewell::testing::Exists;
using ::tidewell::testing::TempDir;

TEST(FileRenameTest, ReplacesAnExistingTarget) {
  TempDir dir;
  dir.WriteFile("from", "new");
  dir.WriteFile("to", "old");
  ASSERT_EQ(0, FSRename(dir.Join("from").c_str(), dir.Join("to").c_str(), true));
  EXPECT_EQ("new", dir.ReadFile("to"));
  EXPECT_FALSE(Exists(dir.Join("from")));
}

TEST(FileRenameTest, MovesBetweenFoldersAndRenamesDirectories) {
  TempDir dir;
  ASSERT_EQ(0, mkdir(dir.Join("d1").c_str(), 0755));
  dir.WriteFile("d1/f", "x");
  ASSERT_EQ(0, mkdir(dir.Join("d2").c_str(), 0755));
  ASSERT_EQ(0, FSRename(dir.Join("d1/f").c_str(), dir.Join("d2/g").c_str(), false));
  EXPECT_EQ("x", dir.ReadFile("d2/g"));
  ASSERT_EQ(0, FSRename(dir.Join("d2").c_str(), dir.Join("d3").c_str(), false));
  EXPECT_EQ("x", dir.ReadFile("d3/g"));
}

TEST(FileRenameTest, TooLongNameHasItsOwnCode) {
  TempDir dir;
  dir.WriteFile("from", "x");
  std::string too_long = dir.Join(std::string(300, 'n'));
  EXPECT_EQ(kRenamePathTooLong, FSRename(dir.Join("from").c_str(), too_long.c_str(), false));
  EXPECT_EQ(-100, kRenamePathTooLong);
  EXPECT_EQ("x", dir.ReadFile("from"));
}

TEST(FileRenameTest, OtherFailuresAreMinusOne) {
  TempDir dir;
  EXPECT_EQ(-1, FSRename(dir.Join("absent").c_str(), dir.Join("to").c_str(), false));
  EXPECT_EQ(-1, FSRename("", dir.Join("to").c_str(), false));
  // A directory does not replace a non-empty directory.
  ASSERT_EQ(0, mkdir(dir.Join("a").c_str(), 0755));
  ASSERT_EQ(0, mkdir(dir.Join("b").c_str(), 0755));
  dir.WriteFile("b/keep", "k");
  EXPECT_EQ(-1, FSRename(dir.Join("a").c_str(), dir.Join("b").c_str(), false));
  EXPECT_EQ("k", dir.ReadFile("b/keep"));
}

}  // namespace
}  // namespace tidewell
