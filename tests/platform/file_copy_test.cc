#include "platform/file_copy.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>

#include "common/random.h"
#include "common/temp_dir.h"
#include "fs_test_util.h"
#include "private_mount.h"

namespace tidewell {
namespace {

using ::tidewell::testing::Exists;
using ::tidewell::testing::ModeOf;
using ::tidewell::testing::PrivateTmpfs;
using ::tidewell::testing::RandomBytes;
using ::tidewell::testing::TempDir;

// Names in `dir` other than "." and "..".
int EntryCount(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return -1;
  int n = 0;
  while (struct dirent* e = readdir(d)) {
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++n;
  }
  closedir(d);
  return n;
}

class FileCopyTest : public ::testing::Test {
 protected:
  int Copy(const std::string& from, const std::string& to, bool del = false) {
    return FSCopy(dir_.Join(from).c_str(), dir_.Join(to).c_str(), del);
  }
  TempDir dir_;
};

TEST_F(FileCopyTest, CopiesContentOfEverySize) {
  const uint64_t seed = testing::TestSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  for (size_t size :
       {size_t{0}, size_t{1}, size_t{4095}, size_t{4096}, size_t{1} << 20, (size_t{3} << 20) + 7}) {
    std::string content = RandomBytes(seed + size, size);
    dir_.WriteFile("src", content);
    ASSERT_EQ(0, Copy("src", "dst")) << size;
    EXPECT_EQ(content, dir_.ReadFile("dst")) << size;
  }
  EXPECT_EQ(2, EntryCount(dir_.path()));  // no temporaries left behind
}

TEST_F(FileCopyTest, SparseSourceKeepsContentAndHoles) {
  const off_t kSize = 16 << 20;
  std::string head = RandomBytes(1, 100000), tail = RandomBytes(2, 5000);
  int fd = open(dir_.Join("sparse").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(static_cast<ssize_t>(head.size()), pwrite(fd, head.data(), head.size(), 0));
  ASSERT_EQ(static_cast<ssize_t>(tail.size()),
            pwrite(fd, tail.data(), tail.size(), kSize - static_cast<off_t>(tail.size())));
  close(fd);
  ASSERT_EQ(0, Copy("sparse", "copy"));
  std::string copy = dir_.ReadFile("copy");
  ASSERT_EQ(static_cast<size_t>(kSize), copy.size());
  EXPECT_EQ(head, copy.substr(0, head.size()));
  EXPECT_EQ(tail, copy.substr(copy.size() - tail.size()));
  EXPECT_GE(copy.find_first_not_of('\0', head.size()), copy.size() - tail.size());
  struct stat st;
  ASSERT_EQ(0, stat(dir_.Join("copy").c_str(), &st));
  EXPECT_LT(st.st_blocks * 512, kSize / 4) << "holes were filled in";
}

TEST_F(FileCopyTest, TrailingHoleKeepsTheSize) {
  int fd = open(dir_.Join("src").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(3, write(fd, "abc", 3));
  ASSERT_EQ(0, ftruncate(fd, 10 << 20));
  close(fd);
  ASSERT_EQ(0, Copy("src", "dst"));
  std::string copy = dir_.ReadFile("dst");
  ASSERT_EQ(size_t{10} << 20, copy.size());
  EXPECT_EQ("abc", copy.substr(0, 3));
  EXPECT_EQ(std::string::npos, copy.find_first_not_of('\0', 3));
}

TEST_F(FileCopyTest, ReplacingKeepsTheTargetsMode) {
  dir_.WriteFile("src", "new");
  dir_.WriteFile("dst", "old");
  ASSERT_EQ(0, chmod(dir_.Join("dst").c_str(), 0751));
  ASSERT_EQ(0, Copy("src", "dst"));
  EXPECT_EQ("new", dir_.ReadFile("dst"));
  EXPECT_EQ(0751u, ModeOf(dir_.Join("dst")) & 07777);
}

TEST_F(FileCopyTest, MoveDeletesTheSourceOnlyAfterSuccess) {
  dir_.WriteFile("src", "payload");
  ASSERT_EQ(0, Copy("src", "dst", true));
  EXPECT_EQ("payload", dir_.ReadFile("dst"));
  EXPECT_FALSE(Exists(dir_.Join("src")));

  dir_.WriteFile("src2", "stays");
  EXPECT_EQ(-1, Copy("src2", "missing/dst", true));
  EXPECT_EQ("stays", dir_.ReadFile("src2"));
}

TEST_F(FileCopyTest, BadSourcesFailWithoutTouchingTheTarget) {
  dir_.WriteFile("dst", "old");
  EXPECT_EQ(-1, Copy("absent", "dst"));
  ASSERT_EQ(0, mkdir(dir_.Join("dir").c_str(), 0755));
  EXPECT_EQ(-1, Copy("dir", "dst"));
  ASSERT_EQ(0, mkfifo(dir_.Join("fifo").c_str(), 0600));
  EXPECT_EQ(-1, Copy("fifo", "dst"));  // must not hang waiting for a writer
  EXPECT_EQ("old", dir_.ReadFile("dst"));
  EXPECT_EQ(-1, FSCopy("", dir_.Join("dst").c_str(), false));
}

TEST_F(FileCopyTest, CopyOntoItselfIsRefusedAndLosesNothing) {
  dir_.WriteFile("self", "precious");
  ASSERT_EQ(0, symlink("self", dir_.Join("alias").c_str()));
  EXPECT_EQ(-1, Copy("self", "self", true));
  EXPECT_EQ(-1, Copy("self", "alias", true));
  EXPECT_EQ("precious", dir_.ReadFile("self"));
}

TEST_F(FileCopyTest, TargetThatIsADirectoryFails) {
  dir_.WriteFile("src", "x");
  ASSERT_EQ(0, mkdir(dir_.Join("dir").c_str(), 0755));
  EXPECT_EQ(-1, Copy("src", "dir"));
}

TEST_F(FileCopyTest, FullDiskGivesMinusTwoAndKeepsBothSides) {
  ASSERT_EQ(0, mkdir(dir_.Join("mnt").c_str(), 0755));
  PrivateTmpfs small(dir_.Join("mnt"), 256 << 10);
  if (!small.ok()) GTEST_SKIP() << "cannot mount a private tmpfs here";
  std::string target = small.path() + "/dst";
  {
    int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(3, write(fd, "old", 3));
    close(fd);
  }
  std::string big = RandomBytes(7, 1 << 20);
  dir_.WriteFile("src", big);
  EXPECT_EQ(-2, FSCopy(dir_.Join("src").c_str(), target.c_str(), true));
  EXPECT_EQ(big, dir_.ReadFile("src"));
  int fd = open(target.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  char buf[8] = {};
  EXPECT_EQ(3, read(fd, buf, sizeof buf));
  close(fd);
  EXPECT_EQ("old", std::string(buf));
  EXPECT_EQ(1, EntryCount(small.path()));  // the partial copy was removed
}

}  // namespace
}  // namespace tidewell
