#include "platform/inotify_tree.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/temp_dir.h"

namespace tidewell {
namespace {

namespace fs = std::filesystem;
using Notice = InotifyTree::Notice;

std::string Describe(const Notice& n) {
  static const char* kNames[] = {"created", "modified", "deleted", "moved-from",
                                 "moved-to", "overflow", "root-gone"};
  return std::string(kNames[n.kind]) + (n.is_dir ? " dir " : " ") + n.path;
}

class InotifyTreeTest : public ::testing::Test {
 protected:
  // Reads notices until one described as `want` arrives (10 s deadline).
  // Returns everything read, in order.
  std::vector<std::string> ReadUntil(InotifyTree& t, const std::string& want) {
    std::vector<std::string> seen;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{t.fd(), POLLIN, 0};
      poll(&p, 1, 100);
      std::vector<Notice> got;
      EXPECT_EQ(t.Read(got), 0);
      for (const Notice& n : got) seen.push_back(Describe(n));
      for (const std::string& s : seen)
        if (s == want) return seen;
    }
    ADD_FAILURE() << "no '" << want << "' within the deadline";
    return seen;
  }

  static void Touch(const std::string& path, const std::string& text = "x") {
    std::ofstream(path) << text;
  }

  int Count(const std::vector<std::string>& v, const std::string& s) {
    return static_cast<int>(std::count(v.begin(), v.end(), s));
  }

  testing::TempDir dir;
};

TEST_F(InotifyTreeTest, FileWrittenInPiecesGivesOneModification) {
  InotifyTree t;
  ASSERT_EQ(t.Open(dir.path()), 1);
  {
    std::ofstream out(dir.Join("f.txt"));
    for (int i = 0; i < 100; ++i) out << std::string(4096, 'a') << std::flush;
  }
  Touch(dir.Join("end"));
  auto seen = ReadUntil(t, "modified /end");
  EXPECT_EQ(Count(seen, "created /f.txt"), 1);
  EXPECT_EQ(Count(seen, "modified /f.txt"), 1);
}

TEST_F(InotifyTreeTest, FollowsFoldersCreatedRenamedAndDeleted) {
  InotifyTree t;
  ASSERT_EQ(t.Open(dir.path()), 1);
  fs::create_directories(dir.Join("a/b/c"));
  ReadUntil(t, "created dir /a");
  Touch(dir.Join("a/b/c/f"));
  ReadUntil(t, "created /a/b/c/f");
  EXPECT_EQ(t.watch_count(), 4u);

  fs::rename(dir.Join("a"), dir.Join("z"));
  auto seen = ReadUntil(t, "moved-to dir /z");
  EXPECT_EQ(Count(seen, "moved-from dir /a"), 1);
  Touch(dir.Join("z/b/c/g"));
  ReadUntil(t, "created /z/b/c/g");  // old watches, new names

  fs::remove_all(dir.Join("z"));
  seen = ReadUntil(t, "deleted dir /z");
  EXPECT_EQ(Count(seen, "deleted /z/b/c/g"), 1);
  EXPECT_EQ(Count(seen, "deleted dir /z/b"), 1);
  EXPECT_EQ(t.watch_count(), 1u);
}

TEST_F(InotifyTreeTest, MovesInAndOutOfTheTree) {
  testing::TempDir outside;
  fs::create_directories(dir.Join("root/in"));
  fs::create_directories(outside.Join("new/deep"));
  InotifyTree t;
  ASSERT_EQ(t.Open(dir.Join("root")), 2);

  fs::rename(dir.Join("root/in"), outside.Join("gone"));
  ReadUntil(t, "moved-from dir /in");
  EXPECT_EQ(t.watch_count(), 1u);
  Touch(outside.Join("gone/x"));  // no longer ours

  fs::rename(outside.Join("new"), dir.Join("root/new"));
  auto seen = ReadUntil(t, "moved-to dir /new");
  EXPECT_EQ(t.watch_count(), 3u);
  Touch(dir.Join("root/new/deep/y"));
  seen = ReadUntil(t, "created /new/deep/y");
  for (const std::string& s : seen) EXPECT_EQ(s.find("/x"), std::string::npos) << s;
}

TEST_F(InotifyTreeTest, ShallowFolderReportsOnlyItsOwnEntries) {
  fs::create_directories(dir.Join(".w/r"));
  InotifyTree t([](std::string_view rel) {
    return rel == "/.w" ? InotifyTree::kShallow : InotifyTree::kDescend;
  });
  ASSERT_EQ(t.Open(dir.path()), 2);
  Touch(dir.Join(".w/r/inner"));
  fs::remove(dir.Join(".w/r/inner"));
  fs::remove(dir.Join(".w/r"));
  auto seen = ReadUntil(t, "deleted dir /.w/r");
  for (const std::string& s : seen) EXPECT_EQ(s.find("inner"), std::string::npos) << s;
}

TEST_F(InotifyTreeTest, WatchLimitIsReportedAndLaterLifted) {
  fs::create_directories(dir.Join("a/b"));
  fs::create_directories(dir.Join("c/d"));
  InotifyTree t({}, 3);
  ASSERT_EQ(t.Open(dir.path()), 3);
  EXPECT_TRUE(t.watch_limit_reached());
  EXPECT_EQ(t.AddMissingWatches(), 0);
  EXPECT_TRUE(t.watch_limit_reached());
  InotifyTree roomy;
  ASSERT_EQ(roomy.Open(dir.path()), 5);
  EXPECT_FALSE(roomy.watch_limit_reached());
}

TEST_F(InotifyTreeTest, RootRemovalIsReported) {
  fs::create_directories(dir.Join("root"));
  InotifyTree t;
  ASSERT_EQ(t.Open(dir.Join("root")), 1);
  fs::remove(dir.Join("root"));
  ReadUntil(t, "root-gone dir /");
}

TEST_F(InotifyTreeTest, QueueOverflowIsReported) {
  std::ifstream limit("/proc/sys/fs/inotify/max_queued_events");
  long max_queued = 0;
  limit >> max_queued;
  if (max_queued <= 0 || max_queued > 100000) GTEST_SKIP() << "queue limit " << max_queued;
  InotifyTree t;
  ASSERT_EQ(t.Open(dir.path()), 1);
  // Each close after writing queues one notice; alternating between two
  // files keeps the kernel from folding repeats together.
  std::string names[2] = {dir.Join("f0"), dir.Join("f1")};
  for (long i = 0; i < max_queued + 16; ++i) {
    int fd = open(names[i % 2].c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  ReadUntil(t, "overflow /");
}

TEST_F(InotifyTreeTest, MissingRootFails) {
  InotifyTree t;
  EXPECT_LT(t.Open(dir.Join("absent")), 0);
  EXPECT_EQ(t.fd(), -1);
}

}  // namespace
}  // namespace tidewell
