#include "platform/temp_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "common/temp_dir.h"
#include "platform/sf_file.h"

namespace tidewell {
namespace {

using ::tidewell::testing::TempDir;

bool Exists(const ustring& path) {
  struct stat st;
  return !path.empty() && lstat(path.c_str_utf8(), &st) == 0;
}

class TempFileTest : public ::testing::Test {
 protected:
  ustring Prefix() const { return dir_.path().c_str(); }
  TempDir dir_;
};

TEST_F(TempFileTest, LastOwnerRemovesTheFile) {
  ustring path;
  {
    TempFile first(Prefix());
    ASSERT_EQ(0, first.create());
    path = first.getPath();
    EXPECT_TRUE(Exists(path));
    EXPECT_EQ(0, path.find(Prefix()));
    EXPECT_EQ(-1, first.create());  // already owns a file
    {
      TempFile second(first);
      EXPECT_EQ(2, first.ownerCount());
      EXPECT_EQ(path, second.getPath());
    }
    EXPECT_TRUE(Exists(path));  // the first owner still holds it
    EXPECT_EQ(1, first.ownerCount());
  }
  EXPECT_FALSE(Exists(path));
}

TEST_F(TempFileTest, CopiedThenDestroyedLeavesTheFileToTheOtherOwner) {
  TempFile keeper(Prefix());
  ustring path;
  {
    TempFile maker(Prefix());
    ASSERT_EQ(0, maker.create());
    path = maker.getPath();
    keeper = maker;
  }
  EXPECT_TRUE(Exists(path));
  EXPECT_EQ(path, keeper.getPath());
  EXPECT_EQ(1, keeper.ownerCount());
}

TEST_F(TempFileTest, PermanentFilesOutliveTheirOwners) {
  ustring path;
  {
    TempFile t(Prefix());
    ASSERT_EQ(0, t.create());
    path = t.getPath();
    t.convert_permanent();
  }
  EXPECT_TRUE(Exists(path));

  // Assigning over the only owner of a permanent file keeps the file too.
  TempFile other(Prefix());
  ASSERT_EQ(0, other.create());
  TempFile permanent(Prefix());
  ASSERT_EQ(0, permanent.create());
  permanent.convert_permanent();
  ustring kept = permanent.getPath();
  permanent = other;
  EXPECT_TRUE(Exists(kept));
  EXPECT_EQ(other.getPath(), permanent.getPath());
  EXPECT_EQ(2, other.ownerCount());
}

TEST_F(TempFileTest, AssignmentOverTheOnlyOwnerRemovesItsFile) {
  TempFile a(Prefix()), b(Prefix());
  ASSERT_EQ(0, a.create());
  ASSERT_EQ(0, b.create());
  ustring a_path = a.getPath();
  a = b;
  EXPECT_FALSE(Exists(a_path));
  EXPECT_EQ(b.getPath(), a.getPath());
  TempFile& same = a;
  a = same;  // self-assignment changes nothing
  EXPECT_EQ(2, b.ownerCount());
  // Assigning a shared owner away leaves one owner fewer.
  TempFile empty(Prefix());
  a = empty;
  EXPECT_EQ(1, b.ownerCount());
  EXPECT_TRUE(a.getPath().empty());
  EXPECT_TRUE(Exists(b.getPath()));
}

TEST_F(TempFileTest, RemoveDeletesForEveryOwner) {
  TempFile a(Prefix());
  ASSERT_EQ(0, a.create());
  TempFile b(a);
  ustring path = a.getPath();
  EXPECT_EQ(0, a.remove());
  EXPECT_FALSE(Exists(path));
  EXPECT_TRUE(a.getPath().empty());
  EXPECT_EQ(0, b.ownerCount());
  EXPECT_EQ(0, a.create());  // a can make a new one
  EXPECT_NE(path, a.getPath());
}

TEST_F(TempFileTest, FailsInAMissingFolderAndUsesTheDefaultPrefix) {
  TempFile t(dir_.Join("missing").c_str());
  EXPECT_EQ(-1, t.create());
  EXPECT_TRUE(t.getPath().empty());

  TempFile::initialize(Prefix());
  TempFile d;
  ASSERT_EQ(0, d.create());
  EXPECT_EQ(0, d.getPath().find(Prefix()));
  TempFile::initialize("/tmp");
}

TEST_F(TempFileTest, ScratchFileStaysUntilRemoved) {
  ustring path;
  {
    SFFile f(Prefix());
    EXPECT_EQ(-1, f.getSize());
    ASSERT_EQ(0, f.create());
    path = f.getPath();
    EXPECT_EQ(0, f.getSize());
    ASSERT_EQ(0, f.create());  // keeps the existing file
    EXPECT_EQ(path, f.getPath());
    SFFile copy = f;
    EXPECT_EQ(path, copy.getPath());
  }
  EXPECT_TRUE(Exists(path));
  {
    FILE* out = fopen(path.c_str_utf8(), "w");
    ASSERT_NE(nullptr, out);
    fputs("12345", out);
    fclose(out);
  }
  SFFile again(Prefix());
  again.setPrefix(dir_.Join("missing").c_str());
  EXPECT_EQ(-1, again.create());
  SFFile g(Prefix());
  ASSERT_EQ(0, g.create());
  ustring g_path = g.getPath();
  EXPECT_EQ(0, g.remove());
  EXPECT_FALSE(Exists(g_path));
  EXPECT_TRUE(g.getPath().empty());
}

}  // namespace
}  // namespace tidewell
