#include "db/file_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/random.h"

namespace tidewell {
namespace {

std::vector<std::string> Walk(const FileList& list) {
  std::vector<std::string> out;
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    out.push_back((it->attrb ? "D " : "F ") + std::string(it->path.c_str_utf8()));
  }
  return out;
}

TEST(StringBufferTest, StoresEachNameOnceAndKeepsItInPlace) {
  StringBuffer buf;
  String a, b, c;
  ASSERT_EQ(0, buf.Intern("name", &a));
  ASSERT_EQ(0, buf.Intern(std::string("na") + "me", &b));
  EXPECT_EQ(a.data(), b.data());
  // A name larger than the first chunk gets a chunk of its own.
  std::string big(3 * StringBuffer::kFirstChunk, 'x');
  ASSERT_EQ(0, buf.Intern(big, &c));
  EXPECT_EQ(big, c);
  EXPECT_EQ("name", a);
  EXPECT_EQ(2u, buf.size());
}

TEST(FileListTest, ReverseOrderVisitsContentBeforeItsDirectory) {
  StringBuffer buf;
  FileList list(buf);
  int a = list.AddDirectory(FileList::kRoot, "a", 10);
  ASSERT_GT(a, 0);
  ASSERT_EQ(0, list.AddFile(a, "x", 11, 5));
  ASSERT_GT(list.AddDirectory(a, "b", 12), 0);
  ASSERT_EQ(0, list.AddFile("/a/b/z", 13, 7));
  ASSERT_EQ(0, list.AddFile(FileList::kRoot, "c", 14, 9));
  ASSERT_EQ(0, list.AddFile(FileList::kRoot, "B", 15, 1));
  EXPECT_EQ((std::vector<std::string>{"F /c", "F /a/x", "F /a/b/z", "D /a/b", "D /a", "F /B"}),
            Walk(list));
  auto it = list.rbegin();
  EXPECT_EQ(14u, it->mtime);
  EXPECT_EQ(9u, it->size);
}

TEST(FileListTest, EmptyListHasNoEntries) {
  StringBuffer buf;
  FileList list(buf);
  EXPECT_TRUE(list.rbegin() == list.rend());
  ASSERT_GT(list.AddDirectory(FileList::kRoot, "only", 1), 0);
  EXPECT_EQ(std::vector<std::string>{"D /only"}, Walk(list));
}

TEST(FileListTest, NamesAreUniqueAcrossFilesAndDirectories) {
  StringBuffer buf;
  FileList list(buf);
  ASSERT_EQ(0, list.AddFile(FileList::kRoot, "n", 1, 1));
  EXPECT_EQ(-1, list.AddFile(FileList::kRoot, "n", 1, 1));
  EXPECT_EQ(-1, list.AddDirectory(FileList::kRoot, "n", 1));
  EXPECT_EQ(-1, list.AddDirectory("/n/below", 1));
  EXPECT_EQ(-1, list.AddFile("/n/below", 1, 1));
  EXPECT_EQ(-1, list.AddDirectory(-1, "x", 1));
  EXPECT_EQ(-1, list.AddFile(99, "x", 1, 1));
  EXPECT_EQ(-1, list.AddFile("", 1, 1));
}

TEST(FileListTest, PathFormsCreateParentsAndLaterSetTheirTimes) {
  // Database rows arrive in any order: a file before its directory's row.
  StringBuffer buf;
  FileList list(buf);
  ASSERT_EQ(0, list.AddFile("d/e/f.txt", 5, 50));
  int e = list.AddDirectory("d/e", 77);
  ASSERT_GT(e, 0);
  EXPECT_EQ(e, list.AddDirectory("/d/e/", 78));  // the same directory again
  EXPECT_EQ(78u, list.GetDirectory(e)->mtime);
  EXPECT_EQ(0u, list.GetDirectory(e)->parent->mtime);
  EXPECT_EQ((std::vector<std::string>{"F /d/e/f.txt", "D /d/e", "D /d"}), Walk(list));
}

TEST(FileListTest, OrderIsByUnsignedBytes) {
  StringBuffer buf;
  FileList list(buf);
  ASSERT_EQ(0, list.AddFile(FileList::kRoot, "\xc3\xa9", 1, 1));
  ASSERT_EQ(0, list.AddFile(FileList::kRoot, "z", 1, 1));
  ASSERT_EQ(0, list.AddFile(FileList::kRoot, "Z", 1, 1));
  EXPECT_EQ((std::vector<std::string>{"F /\xc3\xa9", "F /z", "F /Z"}), Walk(list));
}

// Random trees against a std::map model: the reverse walk must visit every
// entry once, in the order of descending paths where a directory follows its
// content ("/" sorts as the lowest byte for this).
TEST(FileListTest, RandomTreesMatchModel) {
  const uint64_t seed = testing::TestSeed();
  SCOPED_TRACE("seed=" + std::to_string(seed));
  std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
  for (int round = 0; round < 50; ++round) {
    StringBuffer buf;
    FileList list(buf);
    std::map<std::string, std::pair<int, uint64_t>> model;  // path -> (attrb, size)
    std::vector<std::string> dirs = {""};
    for (int i = 0; i < 200; ++i) {
      const std::string& parent = dirs[rng() % dirs.size()];
      std::string name(1 + rng() % 3, 'a');
      for (char& ch : name) ch = "abAB.-\xc3"[rng() % 7];
      std::string path = parent + "/" + name;
      bool taken = model.count(path) != 0;
      if (rng() % 3 == 0) {
        int rc = list.AddDirectory(path.c_str(), 0);
        bool is_file = taken && model[path].first == 0;
        EXPECT_EQ(is_file, rc < 0) << path;
        if (!taken) {
          model[path] = {1, 0};
          dirs.push_back(path);
        }
      } else {
        uint64_t size = rng();
        EXPECT_EQ(taken ? -1 : 0, list.AddFile(path.c_str(), 0, size)) << path;
        if (!taken) model[path] = {0, size};
      }
    }
    // Descending by component list: a directory's descendants (longer
    // lists with it as prefix) come before it.
    std::vector<std::pair<std::vector<std::string>, std::string>> order;
    for (auto& [path, v] : model) {
      std::vector<std::string> parts;
      size_t start = 1;
      for (size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
        parts.push_back(path.substr(start, slash - start));
      }
      parts.push_back(path.substr(start));
      order.push_back({parts, (v.first ? "D " : "F ") + path});
    }
    std::sort(order.begin(), order.end(), [](auto& x, auto& y) { return x.first > y.first; });
    std::vector<std::string> want;
    for (auto& o : order) want.push_back(o.second);
    ASSERT_EQ(want, Walk(list));
  }
}

}  // namespace
}  // namespace tidewell
