#include "platform/dir_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "common/temp_dir.h"
#include "platform/file_stat.h"

namespace tidewell {
namespace {

using ::tidewell::testing::TempDir;

std::map<std::string, DIR_ENTRY> ListAll(const std::string& path, int flag, int* last = nullptr) {
  DIR_HANDLE dh;
  EXPECT_EQ(0, FSOpenDir(path.c_str(), flag, dh));
  std::map<std::string, DIR_ENTRY> out;
  DIR_ENTRY e;
  int r;
  while ((r = FSReadDir(dh, e)) == 1) out[e.name.c_str_utf8()] = e;
  if (last) *last = r;
  FSCloseDir(dh);
  EXPECT_TRUE(dh.path.empty());
  return out;
}

class DirListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.WriteFile("file", "12345");
    ASSERT_EQ(0, mkdir(dir_.Join("sub").c_str(), 0755));
    dir_.WriteFile("sub/inner", "x");
    ASSERT_EQ(0, symlink("sub", dir_.Join("link").c_str()));
    ASSERT_EQ(0, mkfifo(dir_.Join("fifo").c_str(), 0600));
    ASSERT_EQ(0, FSUTime(dir_.Join("file").c_str(), 0, 1600000000));
  }
  TempDir dir_;
};

TEST_F(DirListTest, ListsEveryEntryWithItsKindIncludingDots) {
  int last = 99;
  auto entries = ListAll(dir_.path(), 0, &last);
  EXPECT_EQ(0, last);
  ASSERT_EQ(6u, entries.size());
  EXPECT_EQ(FT_DIR, entries["."].type);
  EXPECT_EQ(FT_DIR, entries[".."].type);
  EXPECT_EQ(FT_FILE, entries["file"].type);
  EXPECT_EQ(FT_DIR, entries["sub"].type);
  EXPECT_EQ(FT_SLINK, entries["link"].type);
  EXPECT_EQ(FT_FIFO, entries["fifo"].type);
  for (auto& [name, e] : entries) {
    EXPECT_EQ(0u, e.mtime) << name;
    EXPECT_EQ(0u, e.size) << name;
  }
}

TEST_F(DirListTest, StatFlagFillsTimesForAllAndSizesForFiles) {
  auto entries = ListAll(dir_.path(), kDirReadStat);
  EXPECT_EQ(5u, entries["file"].size);
  EXPECT_EQ(1600000000u, entries["file"].mtime);
  EXPECT_EQ(0u, entries["sub"].size);
  EXPECT_NE(0u, entries["sub"].mtime);
  EXPECT_EQ(0u, entries["link"].size);
  EXPECT_EQ(FT_SLINK, entries["link"].type);
}

TEST_F(DirListTest, MissingFolderFailsOnFirstRead) {
  int last = 0;
  auto entries = ListAll(dir_.Join("absent"), 0, &last);
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(-1, last);
  DIR_HANDLE dh;
  ASSERT_EQ(0, FSOpenDir(dir_.Join("absent").c_str(), 0, dh));  // touches nothing
  EXPECT_EQ(nullptr, dh.handle);
}

TEST_F(DirListTest, HandleMayBeReusedAndMoved) {
  DIR_HANDLE dh;
  DIR_ENTRY e;
  ASSERT_EQ(0, FSOpenDir(dir_.path().c_str(), 0, dh));
  ASSERT_EQ(1, FSReadDir(dh, e));
  DIR_HANDLE moved(std::move(dh));
  EXPECT_EQ(nullptr, dh.handle);
  int more = 0;
  while (FSReadDir(moved, e) == 1) ++more;
  EXPECT_EQ(5, more);
  // Reopening restarts the listing.
  ASSERT_EQ(0, FSOpenDir(dir_.Join("sub").c_str(), 0, moved));
  int count = 0;
  while (FSReadDir(moved, e) == 1) ++count;
  EXPECT_EQ(3, count);
}

struct Walk {
  std::vector<std::string> seen;
  std::string refuse;  // a path the callback refuses
};

int Record(const ustring& path, void* priv) {
  auto* walk = static_cast<Walk*>(priv);
  walk->seen.push_back(path.c_str_utf8());
  return walk->refuse == path.c_str_utf8() ? 1 : 0;
}

TEST_F(DirListTest, TraverseIsPreOrderAndNeverEntersLinks) {
  Walk walk;
  ASSERT_EQ(0, TraverseDir(dir_.path().c_str(), &Record, &walk));
  std::vector<std::string> expected = {dir_.path(),       dir_.Join("fifo"),
                                       dir_.Join("file"), dir_.Join("link"),
                                       dir_.Join("sub"),  dir_.Join("sub/inner")};
  std::vector<std::string> sorted = walk.seen;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(expected, sorted);
  EXPECT_EQ(dir_.path(), walk.seen.front());
  auto sub = std::find(walk.seen.begin(), walk.seen.end(), dir_.Join("sub"));
  auto inner = std::find(walk.seen.begin(), walk.seen.end(), dir_.Join("sub/inner"));
  EXPECT_LT(sub, inner);
}

TEST_F(DirListTest, RefusingADirectoryPrunesItButNotTheWalk) {
  Walk walk;
  walk.refuse = dir_.Join("sub");
  ASSERT_EQ(0, TraverseDir(dir_.path().c_str(), &Record, &walk));
  EXPECT_EQ(walk.seen.end(), std::find(walk.seen.begin(), walk.seen.end(), dir_.Join("sub/inner")));
  EXPECT_NE(walk.seen.end(), std::find(walk.seen.begin(), walk.seen.end(), dir_.Join("file")));

  Walk root;
  root.refuse = dir_.path();
  EXPECT_EQ(-2, TraverseDir(dir_.path().c_str(), &Record, &root));
  EXPECT_EQ(1u, root.seen.size());

  Walk file;
  EXPECT_EQ(0, TraverseDir(dir_.Join("file").c_str(), &Record, &file));
  EXPECT_EQ(1u, file.seen.size());
}

}  // namespace
}  // namespace tidewell
