#include "platform/durable_replace.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/temp_dir.h"
#include "platform/fault_seam.h"
#include "platform/fd_io.h"
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

// Every failing call of the replace, through the fault seam: a failure
// before the rename leaves the old content and no temporary; the result says
// whether the disk was full.
TEST(DurableReplaceTest, EachFailingCallLeavesTheOldContent) {
  struct Case {
    const char* what;
    FaultPoint point;
    int error;
    int skip;
    int result;
  } cases[] = {
      {"disk full while writing", FaultPoint::kWrite, ENOSPC, 0, kReplaceNoSpace},
      {"quota full on a later write", FaultPoint::kWrite, EDQUOT, 1, kReplaceNoSpace},
      {"write error", FaultPoint::kWrite, EIO, 0, -1},
      {"flush finds the disk full", FaultPoint::kFileSync, ENOSPC, 0, kReplaceNoSpace},
      {"flush fails", FaultPoint::kFileSync, EIO, 0, -1},
      {"rename refused", FaultPoint::kRename, EACCES, 0, -1},
  };
  TempDir dir;
  dir.WriteFile("state", "old");
  // Written in two pieces, so a fault can hit the second.
  auto two_writes = [](int fd) {
    int r = WriteAll(fd, "new ", 4);
    return r != 0 ? r : WriteAll(fd, "content", 7);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    {
      ScopedFault fault(c.point, c.error, 1, c.skip);
      errno = 0;
      EXPECT_EQ(c.result, DurableReplace(dir.Join("state").c_str(), two_writes));
      EXPECT_EQ(c.error, errno);
    }
    EXPECT_EQ("old", dir.ReadFile("state"));
    EXPECT_EQ(std::vector<std::string>{"state"}, Names(dir.path()));
  }
  // The path form fails the same way when the writer's bytes cannot be
  // flushed.
  {
    ScopedFault fault(FaultPoint::kFileSync, EIO);
    EXPECT_EQ(-1, DurableReplaceByPath(dir.Join("state").c_str(), [](const ustring& temp) {
      std::ofstream(temp.c_str_utf8()) << "by name";
      return 0;
    }));
  }
  EXPECT_EQ("old", dir.ReadFile("state"));
  EXPECT_EQ(std::vector<std::string>{"state"}, Names(dir.path()));
  ASSERT_EQ(0, DurableReplace(dir.Join("state").c_str(), two_writes));
  EXPECT_EQ("new content", dir.ReadFile("state"));
}

// After the rename only the folder's flush is left: when it fails the new
// content is in place but may not survive a crash, so the replace reports a
// failure rather than success.
TEST(DurableReplaceTest, FailedFolderFlushIsReportedAfterTheRename) {
  TempDir dir;
  dir.WriteFile("state", "old");
  {
    ScopedFault fault(FaultPoint::kDirSync, EIO);
    EXPECT_EQ(-1, DurableReplaceContent(dir.Join("state").c_str(), "new"));
    EXPECT_EQ(EIO, errno);
  }
  EXPECT_EQ("new", dir.ReadFile("state"));
  EXPECT_EQ(std::vector<std::string>{"state"}, Names(dir.path()));
}

// A writer that puts another file under the temporary's name would have its
// bytes renamed into place unflushed: refused.
TEST(DurableReplaceTest, PathWriterThatSwapsTheFileIsRefused) {
  TempDir dir;
  dir.WriteFile("state", "old");
  EXPECT_EQ(-1, DurableReplaceByPath(dir.Join("state").c_str(), [](const ustring& temp) {
    unlink(temp.c_str_utf8());
    std::ofstream(temp.c_str_utf8()) << "swapped";
    return 0;
  }));
  EXPECT_EQ(ESTALE, errno);
  EXPECT_EQ("old", dir.ReadFile("state"));
  EXPECT_EQ(std::vector<std::string>{"state"}, Names(dir.path()));
  ASSERT_EQ(0, DurableReplaceByPath(dir.Join("state").c_str(), [](const ustring& temp) {
    std::ofstream(temp.c_str_utf8()) << "by name";
    return 0;
  }));
  EXPECT_EQ("by name", dir.ReadFile("state"));
}

}  // namespace
}  // namespace tidewell
