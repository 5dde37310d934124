#include "platform/durable_replace.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "common/temp_dir.h"
#include "fs_test_util.h"
#include "private_mount.h"

namespace tidewell {
namespace {

using ::tidewell::testing::ModeOf;
using ::tidewell::testing::PrivateTmpfs;
using ::tidewell::testing::TempDir;

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = opendir(dir.c_str());
  while (struct dirent* e = d ? readdir(d) : nullptr) {
    std::string n = e->d_name;
    if (n != "." && n != "..") out.push_back(n);
  }
  if (d) closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

TEST(DurableReplaceTest, CreatesAndReplacesLeavingNothingElse) {
  TempDir dir;
  ASSERT_EQ(0, DurableReplaceContent(dir.Join("state").c_str(), "one"));
  EXPECT_EQ("one", dir.ReadFile("state"));
  ASSERT_EQ(0, chmod(dir.Join("state").c_str(), 0600));
  ASSERT_EQ(0, DurableReplaceContent(dir.Join("state").c_str(), "two"));
  EXPECT_EQ("two", dir.ReadFile("state"));
  EXPECT_EQ(0600u, ModeOf(dir.Join("state")) & 07777);
  ASSERT_EQ(0, DurableReplaceContent(dir.Join("state").c_str(), "", 0640));
  EXPECT_EQ("", dir.ReadFile("state"));
  EXPECT_EQ(0640u, ModeOf(dir.Join("state")) & 07777);
  EXPECT_EQ(std::vector<std::string>{"state"}, Names(dir.path()));
}

TEST(DurableReplaceTest, FailingWriterLeavesTheOldContent) {
  TempDir dir;
  dir.WriteFile("state", "old");
  int r = DurableReplace(dir.Join("state").c_str(), [](int fd) {
    EXPECT_EQ(4, write(fd, "part", 4));
    return -7;
  });
  EXPECT_EQ(-7, r);
  EXPECT_EQ("old", dir.ReadFile("state"));
  EXPECT_EQ(std::vector<std::string>{"state"}, Names(dir.path()));
}

TEST(DurableReplaceTest, RefusesDirectoriesAndMissingFolders) {
  TempDir dir;
  ASSERT_EQ(0, mkdir(dir.Join("d").c_str(), 0755));
  EXPECT_EQ(-1, DurableReplaceContent(dir.Join("d").c_str(), "x"));
  EXPECT_EQ(-1, DurableReplaceContent(dir.Join("missing/f").c_str(), "x"));
  EXPECT_EQ(-1, DurableReplaceContent("", "x"));
  EXPECT_EQ(std::vector<std::string>{"d"}, Names(dir.path()));
}

TEST(DurableReplaceTest, ConcurrentReplacesEndWithOneWholeContent) {
  TempDir dir;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&dir, t] {
      std::string content(10000, static_cast<char>('a' + t));
      for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(0, DurableReplaceContent(dir.Join("shared").c_str(), content));
      }
    });
  }
  for (auto& t : threads) t.join();
  std::string final_content = dir.ReadFile("shared");
  ASSERT_EQ(10000u, final_content.size());
  EXPECT_EQ(std::string::npos, final_content.find_first_not_of(final_content[0]));
  EXPECT_EQ(std::vector<std::string>{"shared"}, Names(dir.path()));
}

TEST(DurableReplaceTest, FullDiskIsReportedAndHarmless) {
  TempDir dir;
  ASSERT_EQ(0, mkdir(dir.Join("mnt").c_str(), 0755));
  PrivateTmpfs small(dir.Join("mnt"), 64 << 10);
  if (!small.ok()) GTEST_SKIP() << "cannot mount a private tmpfs here";
  std::string target = small.path() + "/state";
  ASSERT_EQ(0, DurableReplaceContent(target.c_str(), "old"));
  std::string big(1 << 20, 'x');
  EXPECT_EQ(kReplaceNoSpace, DurableReplaceContent(target.c_str(), big));
  EXPECT_EQ(std::vector<std::string>{"state"}, Names(small.path()));
  ASSERT_EQ(0, DurableReplaceContent(target.c_str(), "still works"));
}

}  // namespace
}  // namespace tidewell
