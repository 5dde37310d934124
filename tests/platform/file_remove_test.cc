#include "platform/file_remove.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/temp_dir.h"
#include "fs_test_util.h"

namespace tidewell {
namespace {

using ::tidewell::testing::Exists;
using ::tidewell::testing::ImmutableGuard;
using ::tidewell::testing::TempDir;

TEST(FileRemoveTest, DeletesEveryKindWithoutFollowingLinks) {
  TempDir dir;
  dir.WriteFile("outside/keep", "k");
  dir.WriteFile("file", "x");
  ASSERT_EQ(0, symlink(dir.Join("outside").c_str(), dir.Join("link").c_str()));
  ASSERT_EQ(0, mkfifo(dir.Join("fifo").c_str(), 0600));
  for (const char* name : {"file", "link", "fifo"}) {
    EXPECT_EQ(0, FSRemove(dir.Join(name).c_str(), false)) << name;
    EXPECT_FALSE(Exists(dir.Join(name))) << name;
  }
  EXPECT_EQ("k", dir.ReadFile("outside/keep"));
}

TEST(FileRemoveTest, TreesGoWholeButLinkedFoldersAreNotEmptied) {
  TempDir dir;
  dir.WriteFile("outside/keep", "k");
  dir.WriteFile("tree/a/b/c/deep", "d");
  dir.WriteFile("tree/top", "t");
  ASSERT_EQ(0, mkdir(dir.Join("tree/empty").c_str(), 0755));
  ASSERT_EQ(0, symlink(dir.Join("outside").c_str(), dir.Join("tree/a/link").c_str()));
  EXPECT_EQ(0, FSRemove(dir.Join("tree").c_str(), false));
  EXPECT_FALSE(Exists(dir.Join("tree")));
  EXPECT_EQ("k", dir.ReadFile("outside/keep"));

  ASSERT_EQ(0, symlink(dir.Join("outside").c_str(), dir.Join("dirlink").c_str()));
  EXPECT_EQ(-1, RemoveDirectoryRecursive(dir.Join("dirlink").c_str()));
  EXPECT_EQ("k", dir.ReadFile("outside/keep"));
  EXPECT_EQ(-1, RemoveDirectoryRecursive(dir.Join("absent").c_str()));
}

TEST(FileRemoveTest, ManyEntriesAreAllRemoved) {
  TempDir dir;
  for (int i = 0; i < 2000; ++i) dir.WriteFile("big/f" + std::to_string(i), "");
  EXPECT_EQ(0, RemoveDirectoryRecursive(dir.Join("big/").c_str()));
  EXPECT_FALSE(Exists(dir.Join("big")));
}

TEST(FileRemoveTest, UndeletableEntryFailsTheWalkButNotTheRest) {
  TempDir dir;
  dir.WriteFile("tree/a", "a");
  dir.WriteFile("tree/stuck/b", "b");
  dir.WriteFile("tree/z", "z");
  ImmutableGuard guard(dir.Join("tree/stuck"));
  if (!guard.ok()) GTEST_SKIP() << "cannot make a folder immutable here";
  EXPECT_EQ(-1, RemoveDirectoryRecursive(dir.Join("tree").c_str()));
  EXPECT_FALSE(Exists(dir.Join("tree/a")));
  EXPECT_FALSE(Exists(dir.Join("tree/z")));
  EXPECT_TRUE(Exists(dir.Join("tree/stuck/b")));
}

TEST(FileRemoveTest, MissingPathsAreNoError) {
  TempDir dir;
  EXPECT_EQ(0, FSRemove(dir.Join("absent").c_str(), false));
  EXPECT_EQ(-1, FSRemove("", false));
}

}  // namespace
}  // namespace tidewell
