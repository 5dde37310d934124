#include "platform/dir_make.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/temp_dir.h"
#include "fs_test_util.h"

namespace tidewell {
namespace {

using ::tidewell::testing::Exists;
using ::tidewell::testing::ModeOf;
using ::tidewell::testing::TempDir;

bool IsDir(const std::string& path) { return S_ISDIR(ModeOf(path)); }

TEST(DirMakeTest, CreatesAllLevelsAndAcceptsExistingOnes) {
  TempDir dir;
  ASSERT_EQ(0, FSMKDirP(dir.Join("a/b/c").c_str()));
  EXPECT_TRUE(IsDir(dir.Join("a/b/c")));
  EXPECT_EQ(0, FSMKDirP(dir.Join("a/b/c").c_str()));
  EXPECT_EQ(0, FSMKDirP(dir.Join("a//b/d/").c_str()));  // doubled and trailing "/"
  EXPECT_TRUE(IsDir(dir.Join("a/b/d")));
  EXPECT_EQ(0, FSMKDirP("/"));
  EXPECT_EQ(-1, FSMKDirP(""));
}

TEST(DirMakeTest, FileInTheWayFailsUnlessForced) {
  TempDir dir;
  ASSERT_EQ(0, mkdir(dir.Join("a").c_str(), 0755));
  dir.WriteFile("a/b", "in the way");
  errno = 0;
  EXPECT_EQ(-1, FSMKDirP(dir.Join("a/b/c").c_str()));
  EXPECT_EQ(ENOTDIR, errno);
  EXPECT_EQ("in the way", dir.ReadFile("a/b"));
  errno = 0;
  EXPECT_EQ(-1, FSMKDirP(dir.Join("a/b").c_str()));
  EXPECT_EQ(EEXIST, errno);

  ASSERT_EQ(0, FSMKDirP(dir.Join("a/b/c").c_str(), nullptr, true));
  EXPECT_TRUE(IsDir(dir.Join("a/b/c")));
}

TEST(DirMakeTest, LinkedDirectoriesAreFollowedAndNeverReplaced) {
  TempDir dir;
  ASSERT_EQ(0, mkdir(dir.Join("real").c_str(), 0755));
  ASSERT_EQ(0, symlink("real", dir.Join("alias").c_str()));
  ASSERT_EQ(0, FSMKDirP(dir.Join("alias/x/y").c_str(), nullptr, true));
  EXPECT_TRUE(IsDir(dir.Join("real/x/y")));
  EXPECT_TRUE(S_ISLNK(ModeOf(dir.Join("alias"))));
}

TEST(DirMakeTest, RelativePathsCreateEveryComponent) {
  TempDir dir;
  char old_cwd[4096];
  ASSERT_NE(nullptr, getcwd(old_cwd, sizeof old_cwd));
  ASSERT_EQ(0, chdir(dir.path().c_str()));
  EXPECT_EQ(0, FSMKDirP("rel/one"));
  EXPECT_EQ(0, FSMKDirP("single"));
  ASSERT_EQ(0, chdir(old_cwd));
  EXPECT_TRUE(IsDir(dir.Join("rel/one")));
  EXPECT_TRUE(IsDir(dir.Join("single")));
}

TEST(DirMakeTest, SingleLevelCreation) {
  TempDir dir;
  EXPECT_EQ(0, FSMKDir(dir.Join("one").c_str(), false));
  EXPECT_EQ(0, FSMKDir(dir.Join("one").c_str(), false));  // exists: fine
  dir.WriteFile("file", "x");
  EXPECT_EQ(-1, FSMKDir(dir.Join("file").c_str(), false));
  EXPECT_EQ(-1, FSMKDir(dir.Join("no/parent").c_str(), false));
  EXPECT_FALSE(Exists(dir.Join("no")));
  EXPECT_EQ(0, FSMKDir(dir.Join("no/parent").c_str(), true));
  EXPECT_TRUE(IsDir(dir.Join("no/parent")));
}

}  // namespace
}  // namespace tidewell
