// SessionFs on real folders: no operation may follow a symbolic link or
// leave the root, whichever end of the path the link sits at.

#include "platform/session_fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "common/temp_dir.h"
#include "platform/fs_test_util.h"

namespace tidewell {
namespace {

using testing::Exists;

class SessionFsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = dir.Join("root");
    ASSERT_EQ(0, mkdir(root.c_str(), 0755));
    ASSERT_EQ(0, mkdir(dir.Join("outside").c_str(), 0755));
    dir.WriteFile("outside/secret.txt", "secret");
    dir.WriteFile("root/d/f.txt", "inner");
    // A link to a folder outside, a link to a file outside, and a link to a
    // folder inside: none may be passed through.
    ASSERT_EQ(0, symlink(dir.Join("outside").c_str(), (root + "/out").c_str()));
    ASSERT_EQ(0, symlink(dir.Join("outside/secret.txt").c_str(), (root + "/secret_link").c_str()));
    ASSERT_EQ(0, symlink("d", (root + "/d_link").c_str()));
    ASSERT_EQ(0, fs.Open(ustring(root)));
  }

  std::vector<std::string> OutsideNames() {
    std::vector<SessionDirEntry> entries;
    SessionFs out;
    EXPECT_EQ(0, out.Open(ustring(dir.Join("outside"))));
    EXPECT_GE(out.List(ustring("/"), entries), 0);
    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
  }

  testing::TempDir dir;
  std::string root;
  SessionFs fs;
};

TEST(SessionPathCheckTest, RefusesUnsafeServerPaths) {
  struct Case {
    std::string path;
    int want;
  };
  const Case cases[] = {
      {"/", kPathOk},
      {"/a/b c.txt", kPathOk},
      {"/d/.VeltronaWorkingDirectory", kPathOk},  // only the root's working folder is special
      {"/\xc3\xa9t\xc3\xa9", kPathOk},            // UTF-8 accents
      {"", kPathNotRooted},
      {"a/b", kPathNotRooted},
      {std::string("/a\0b", 4), kPathHasNul},
      {"/bad\xff", kPathNotUtf8},
      {"/over\xc0\xaflong", kPathNotUtf8},
      {"/a//b", kPathBadComponent},
      {"/a/", kPathBadComponent},
      {"/a/./b", kPathBadComponent},
      {"/..", kPathBadComponent},
      {"/a/../../etc", kPathBadComponent},
      {"/.VeltronaWorkingDirectory", kPathWorkingFolder},
      {"/.VeltronaWorkingDirectory/#VeltRecycle/x", kPathWorkingFolder},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.want, CheckSessionPath(ustring(c.path))) << "path: " << c.path;
  }
}

TEST_F(SessionFsTest, NoOperationPassesThroughALink) {
  UniqueFd f;
  FILE_INFO info;
  std::vector<SessionDirEntry> entries;
  dir.WriteFile("root/tmp.bin", "new");
  // Each row goes through the link to the outside folder.
  EXPECT_EQ(-ELOOP, fs.OpenRead(ustring("/out/secret.txt"), f));
  EXPECT_EQ(-ELOOP, fs.Create(ustring("/out/planted.txt"), true, 0644, f));
  EXPECT_EQ(-ELOOP, fs.Create(ustring("/out/secret.txt"), false, 0644, f));
  EXPECT_EQ(-ELOOP, fs.MakeDirs(ustring("/out/a/b")));
  EXPECT_EQ(-ELOOP, fs.Stat(ustring("/out/secret.txt"), info));
  EXPECT_EQ(-ELOOP, fs.Rename(ustring("/tmp.bin"), ustring("/out/moved"), true));
  EXPECT_EQ(-ELOOP, fs.Rename(ustring("/out/secret.txt"), ustring("/stolen"), true));
  EXPECT_EQ(-ELOOP, fs.DurableReplace(ustring("/tmp.bin"), ustring("/out/secret.txt")));
  EXPECT_EQ(-ELOOP, fs.Unlink(ustring("/out/secret.txt")));
  EXPECT_EQ(-ELOOP, fs.SetTimes(ustring("/out/secret.txt"), 1000));
  EXPECT_EQ(-ELOOP, fs.List(ustring("/out"), entries));
  // A link inside the session is refused the same way.
  EXPECT_EQ(-ELOOP, fs.OpenRead(ustring("/d_link/f.txt"), f));
  // A final link is the link itself, never its target.
  EXPECT_EQ(-ELOOP, fs.OpenRead(ustring("/secret_link"), f));
  ASSERT_EQ(0, fs.Stat(ustring("/secret_link"), info));
  EXPECT_TRUE(info.isExist);
  EXPECT_EQ(FT_SLINK, info.type);
  EXPECT_EQ(0, fs.SetTimes(ustring("/secret_link"), 1000));
  EXPECT_EQ(0, fs.Unlink(ustring("/secret_link")));
  // ".." never gets as far as the kernel.
  EXPECT_EQ(-EINVAL, fs.OpenRead(ustring("/d/../../outside/secret.txt"), f));
  EXPECT_EQ(-EINVAL, fs.Create(ustring(std::string("/a\0b", 4)), true, 0644, f));

  EXPECT_EQ((std::vector<std::string>{"secret.txt"}), OutsideNames());
  EXPECT_EQ("secret", dir.ReadFile("outside/secret.txt"));
  struct stat st;
  ASSERT_EQ(0, stat(dir.Join("outside/secret.txt").c_str(), &st));
  EXPECT_NE(1000, st.st_mtime);
  EXPECT_EQ("new", dir.ReadFile("root/tmp.bin"));
}

TEST_F(SessionFsTest, DurableReplacePutsTheContentInPlaceAndRefusesFolders) {
  dir.WriteFile("root/.work/t1", "version 2");
  dir.WriteFile("root/d/target.txt", "version 1");
  ASSERT_EQ(0, fs.DurableReplace(ustring("/.work/t1"), ustring("/d/target.txt")));
  EXPECT_EQ("version 2", dir.ReadFile("root/d/target.txt"));
  EXPECT_FALSE(Exists(dir.Join("root/.work/t1")));

  // A folder in the target's place is not replaced; the new content stays.
  dir.WriteFile("root/.work/t2", "data");
  ASSERT_EQ(0, mkdir((root + "/folder").c_str(), 0755));
  EXPECT_EQ(-EISDIR, fs.DurableReplace(ustring("/.work/t2"), ustring("/folder")));
  EXPECT_EQ("data", dir.ReadFile("root/.work/t2"));
  // Only regular files are put in place.
  EXPECT_EQ(-ELOOP, fs.DurableReplace(ustring("/secret_link"), ustring("/d/x")));
}

TEST_F(SessionFsTest, RenameWithoutReplaceKeepsTheTarget) {
  dir.WriteFile("root/a", "A");
  dir.WriteFile("root/b", "B");
  EXPECT_EQ(-EEXIST, fs.Rename(ustring("/a"), ustring("/b"), false));
  EXPECT_EQ("A", dir.ReadFile("root/a"));
  EXPECT_EQ("B", dir.ReadFile("root/b"));
  EXPECT_EQ(0, fs.Rename(ustring("/a"), ustring("/d/a"), false));
  EXPECT_EQ("A", dir.ReadFile("root/d/a"));
  EXPECT_EQ(0, fs.Rename(ustring("/d/a"), ustring("/b"), true));
  EXPECT_EQ("A", dir.ReadFile("root/b"));
}

TEST_F(SessionFsTest, StatListMakeDirsAndRemoveTree) {
  FILE_INFO info;
  ASSERT_EQ(0, fs.Stat(ustring("/d/f.txt"), info));
  EXPECT_TRUE(info.isExist);
  EXPECT_EQ(FT_FILE, info.type);
  EXPECT_EQ(5u, info.size);
  EXPECT_EQ(root + "/d/f.txt", std::string(info.path.utf8_view()));
  // Missing, and below a file: not there, no error.
  ASSERT_EQ(0, fs.Stat(ustring("/nothing"), info));
  EXPECT_FALSE(info.isExist);
  ASSERT_EQ(0, fs.Stat(ustring("/d/f.txt/below"), info));
  EXPECT_FALSE(info.isExist);
  ASSERT_EQ(0, fs.Stat(ustring("/"), info));
  EXPECT_EQ(FT_DIR, info.type);

  ASSERT_EQ(0, fs.MakeDirs(ustring("/x/y/z")));
  ASSERT_EQ(0, fs.MakeDirs(ustring("/x/y/z")));  // existing folders are fine
  EXPECT_EQ(-EEXIST, fs.MakeDir(ustring("/d/f.txt")));
  ASSERT_EQ(0, fs.SetTimes(ustring("/x"), 123456));
  ASSERT_EQ(0, fs.Stat(ustring("/x"), info));
  EXPECT_EQ(123456u, info.mtime);

  // A FIFO is refused without waiting for a writer.
  ASSERT_EQ(0, mkfifo((root + "/fifo").c_str(), 0644));
  UniqueFd f;
  EXPECT_EQ(-EINVAL, fs.OpenRead(ustring("/fifo"), f));
  EXPECT_EQ(-EISDIR, fs.OpenRead(ustring("/d"), f));

  std::vector<SessionDirEntry> entries;
  ASSERT_EQ(6, fs.List(ustring("/"), entries));  // d, out, secret_link, d_link, x, fifo
  // The tree goes with everything below it; links inside are removed
  // themselves and their targets stay.
  ASSERT_EQ(0, symlink(dir.Join("outside").c_str(), (root + "/x/y/link").c_str()));
  dir.WriteFile("root/x/y/z/file", "1");
  EXPECT_EQ(0, fs.RemoveTree(ustring("/x")));
  EXPECT_FALSE(Exists(root + "/x"));
  EXPECT_EQ(0, fs.RemoveTree(ustring("/x")));
  EXPECT_EQ((std::vector<std::string>{"secret.txt"}), OutsideNames());
}

}  // namespace
}  // namespace tidewell
