#include "platform/file_stat.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "common/temp_dir.h"
#include "fs_test_util.h"
#include "platform/fs_volume.h"

namespace tidewell {
namespace {

using ::tidewell::testing::TempDir;

// Restores the statfs probe and FAT mode after a test that changes them.
class VolumeSeamGuard {
 public:
  VolumeSeamGuard() = default;
  ~VolumeSeamGuard() {
    SetFsTypeProbeForTesting(nullptr);
    SetFatModeForTesting(false);
  }
};

int ProbeVfat(const char*, long* fs_type) {
  *fs_type = kMsdosSuperMagic;
  return 0;
}
int ProbeExfat(const char*, long* fs_type) {
  *fs_type = kExfatSuperMagic;
  return 0;
}
int ProbeFails(const char*, long*) {
  errno = EIO;
  return -1;
}

class FileStatTest : public ::testing::Test {
 protected:
  TempDir dir_;
  VolumeSeamGuard seam_;
};

TEST_F(FileStatTest, RegularFileReportsSizeTimeAndOwnerButKeepsName) {
  dir_.WriteFile("a.txt", "hello");
  ASSERT_EQ(0, FSUTime(dir_.Join("a.txt").c_str(), 0, 1500000000));
  _FILE_INFO_tag info;
  info.name = "kept";
  ASSERT_EQ(0, FSStat(dir_.Join("a.txt").c_str(), info, true));
  EXPECT_TRUE(info.isExist);
  EXPECT_EQ(FT_FILE, info.type);
  EXPECT_EQ(5u, info.size);
  EXPECT_EQ(1500000000u, info.mtime);
  EXPECT_EQ(ustring(dir_.Join("a.txt")), info.path);
  EXPECT_EQ(ustring("kept"), info.name);
  EXPECT_EQ(getuid(), info.uid);
}

TEST_F(FileStatTest, SymbolicLinksAreReportedNotFollowed) {
  dir_.WriteFile("target", "0123456789");
  ASSERT_EQ(0, mkdir(dir_.Join("dir").c_str(), 0755));
  ASSERT_EQ(0, symlink("target", dir_.Join("link").c_str()));
  ASSERT_EQ(0, symlink("dir", dir_.Join("dirlink").c_str()));
  ASSERT_EQ(0, symlink("nowhere", dir_.Join("dangling").c_str()));

  _FILE_INFO_tag info;
  ASSERT_EQ(0, FSStat(dir_.Join("link").c_str(), info, false));
  EXPECT_EQ(FT_SLINK, info.type);
  EXPECT_EQ(0u, info.size);
  // A trailing "/" would make the kernel follow the link; it is ignored.
  ASSERT_EQ(0, FSStat((dir_.Join("dirlink") + "/").c_str(), info, false));
  EXPECT_EQ(FT_SLINK, info.type);
  ASSERT_EQ(0, FSStat(dir_.Join("dangling").c_str(), info, true));
  EXPECT_TRUE(info.isExist);
  EXPECT_EQ(FT_SLINK, info.type);
  EXPECT_TRUE(IsFileExist(dir_.Join("dangling").c_str(), true));
}

TEST_F(FileStatTest, SpecialFilesHaveTheirOwnKinds) {
  ASSERT_EQ(0, mkfifo(dir_.Join("fifo").c_str(), 0600));
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  std::string sock_path = dir_.Join("sock");
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  memcpy(addr.sun_path, sock_path.c_str(), sock_path.size() + 1);
  ASSERT_EQ(0, bind(sock, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr));
  close(sock);

  _FILE_INFO_tag info;
  ASSERT_EQ(0, FSStat(dir_.Join("fifo").c_str(), info, true));
  EXPECT_EQ(FT_FIFO, info.type);
  ASSERT_EQ(0, FSStat(sock_path.c_str(), info, true));
  EXPECT_EQ(FT_SOCK, info.type);
  ASSERT_EQ(0, FSStat("/dev/null", info, true));
  EXPECT_EQ(FT_DEV, info.type);
  ASSERT_EQ(0, FSStat(dir_.path().c_str(), info, true));
  EXPECT_EQ(FT_DIR, info.type);
  EXPECT_EQ(0u, info.size);
}

TEST_F(FileStatTest, MissingPathIsNotAnError) {
  dir_.WriteFile("file", "x");
  _FILE_INFO_tag info;
  info.isExist = true;
  EXPECT_EQ(0, FSStat(dir_.Join("absent").c_str(), info, true));
  EXPECT_FALSE(info.isExist);
  EXPECT_EQ(0, FSStat(dir_.Join("file/below").c_str(), info, false));  // ENOTDIR
  EXPECT_FALSE(info.isExist);
  EXPECT_EQ(0, FSStat("", info, false));
  EXPECT_FALSE(info.isExist);
  EXPECT_FALSE(IsFileExist("", false));
  EXPECT_FALSE(IsFileExist(dir_.Join("absent").c_str(), false));
}

TEST_F(FileStatTest, OtherFailuresAreErrorsNotMissingFiles) {
  // A lookup that fails for another reason must not read as "deleted".
  ASSERT_EQ(0, symlink("loop", dir_.Join("loop").c_str()));
  _FILE_INFO_tag info;
  EXPECT_EQ(-1, FSStat(dir_.Join("loop/x").c_str(), info, false));  // ELOOP
  EXPECT_FALSE(info.isExist);
  std::string too_long = dir_.Join(std::string(300, 'n'));
  EXPECT_EQ(-1, FSStat(too_long.c_str(), info, false));  // ENAMETOOLONG
}

TEST_F(FileStatTest, CaseCheckNeedsTheStoredSpelling) {
  dir_.WriteFile("lower.txt", "x");
  EXPECT_TRUE(IsFileExist(dir_.Join("lower.txt").c_str(), true));
  EXPECT_FALSE(IsFileExist(dir_.Join("LOWER.txt").c_str(), true));
  _FILE_INFO_tag info;
  ASSERT_EQ(0, FSStat(dir_.Join("LOWER.TXT").c_str(), info, true));
  EXPECT_FALSE(info.isExist);

  EXPECT_EQ(1, DirectoryHasExactName(dir_.path().c_str(), "lower.txt"));
  EXPECT_EQ(0, DirectoryHasExactName(dir_.path().c_str(), "LOWER.txt"));
  EXPECT_EQ(-1, DirectoryHasExactName(dir_.Join("absent").c_str(), "x"));

  // Where the volume may fold case, the stored names are consulted.
  SetFsTypeProbeForTesting(&ProbeVfat);
  EXPECT_TRUE(DirMayFoldCase(dir_.path().c_str()));
  EXPECT_TRUE(IsFileExist(dir_.Join("lower.txt").c_str(), true));
  EXPECT_TRUE(IsFileExist(dir_.Join("lower.txt/").c_str(), true));
  SetFsTypeProbeForTesting(nullptr);
  EXPECT_FALSE(DirMayFoldCase(dir_.path().c_str()));  // ext4/tmpfs without casefold
}

TEST_F(FileStatTest, UTimeSetsOnlyTheModificationTimeOfTheEntryItself) {
  dir_.WriteFile("target", "x");
  ASSERT_EQ(0, symlink("target", dir_.Join("link").c_str()));
  struct stat before;
  ASSERT_EQ(0, stat(dir_.Join("target").c_str(), &before));

  ASSERT_EQ(0, FSUTime(dir_.Join("link").c_str(), 12345, 1000000001));
  struct stat link_st, target_st;
  ASSERT_EQ(0, lstat(dir_.Join("link").c_str(), &link_st));
  ASSERT_EQ(0, stat(dir_.Join("target").c_str(), &target_st));
  EXPECT_EQ(1000000001, link_st.st_mtim.tv_sec);
  EXPECT_EQ(before.st_mtim.tv_sec, target_st.st_mtim.tv_sec);
  EXPECT_NE(12345, link_st.st_atim.tv_sec);

  EXPECT_EQ(-1, FSUTime(dir_.Join("absent").c_str(), 0, 5));
}

TEST_F(FileStatTest, FatModeRoundsTimesAndComparesWithinTwoSeconds) {
  dir_.WriteFile("f", "x");
  EXPECT_FALSE(FSTimeEqual(100, 101));
  EXPECT_TRUE(FSTimeEqual(100, 100));

  SetFsTypeProbeForTesting(&ProbeVfat);
  ASSERT_EQ(0, FSInit(dir_.path().c_str()));
  ASSERT_TRUE(FSIsFatMode());
  EXPECT_TRUE(FSTimeEqual(100, 101));
  EXPECT_TRUE(FSTimeEqual(101, 100));
  EXPECT_FALSE(FSTimeEqual(100, 102));

  ASSERT_EQ(0, FSUTime(dir_.Join("f").c_str(), 0, 1000000001));
  _FILE_INFO_tag info;
  ASSERT_EQ(0, FSStat(dir_.Join("f").c_str(), info, false));
  EXPECT_EQ(1000000000u, info.mtime);
}

TEST_F(FileStatTest, InitDetectsTheFatFamilyOnly) {
  EXPECT_EQ(-1, FSInit("relative/path"));
  EXPECT_EQ(-1, FSInit(""));
  EXPECT_FALSE(IsMSDOS("relative/path"));

  ASSERT_EQ(0, FSInit(dir_.path().c_str()));  // the real volume is not FAT
  EXPECT_FALSE(FSIsFatMode());
  EXPECT_FALSE(IsMSDOS(dir_.path().c_str()));

  SetFsTypeProbeForTesting(&ProbeExfat);
  EXPECT_TRUE(IsMSDOS(dir_.path().c_str()));
  EXPECT_FALSE(FSIsFatMode());  // IsMSDOS has no side effect
  ASSERT_EQ(0, FSInit(dir_.path().c_str()));
  EXPECT_TRUE(FSIsFatMode());

  SetFsTypeProbeForTesting(&ProbeFails);
  EXPECT_EQ(-1, FSInit(dir_.path().c_str()));
  EXPECT_FALSE(IsMSDOS(dir_.path().c_str()));
}

TEST_F(FileStatTest, RealPathResolvesLinksAndDropsTrailingSlashes) {
  ASSERT_EQ(0, mkdir(dir_.Join("real").c_str(), 0755));
  ASSERT_EQ(0, symlink("real", dir_.Join("alias").c_str()));
  ustring path(dir_.Join("alias") + "//");
  ASSERT_EQ(0, FSGetRealPath(path));
  char* expected = realpath(dir_.Join("real").c_str(), nullptr);
  ASSERT_NE(nullptr, expected);
  EXPECT_EQ(ustring(expected), path);
  free(expected);

  ustring root("/");
  ASSERT_EQ(0, FSGetRealPath(root));
  EXPECT_EQ(ustring("/"), root);

  ustring missing(dir_.Join("absent"));
  EXPECT_EQ(-1, FSGetRealPath(missing));
  EXPECT_EQ(ustring(dir_.Join("absent")), missing);
}

TEST(FileInfoTest, EqualityIgnoresOwnership) {
  _FILE_INFO_tag a, b;
  a.path = b.path = "/x";
  a.name = b.name = "x";
  a.isExist = b.isExist = true;
  a.size = b.size = 3;
  a.mtime = b.mtime = 7;
  a.type = b.type = FT_FILE;
  a.uid = 1;
  b.uid = 2;
  EXPECT_TRUE(a == b);
  b.mtime = 8;
  EXPECT_TRUE(a != b);
  b.mtime = 7;
  b.name = "y";
  EXPECT_TRUE(a != b);
}

}  // namespace
}  // namespace tidewell
