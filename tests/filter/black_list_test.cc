#include "filter/black_list.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/random.h"
#include "common/temp_dir.h"
#include "filter/sync_folder.h"
#include "filter/white_list_cpp.h"

namespace tidewell {
namespace {

std::vector<std::string> Entries(const value_type_string_set& set) {
  return std::vector<std::string>(set.set, set.set + set.used);
}

std::string Lower(std::string s) {
  for (char& c : s) if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
  return s;
}

class BlackListTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  BlackList2 list_;
};

TEST_F(BlackListTest, MissingOrBrokenFileLeavesAnEmptyList) {
  dir_.WriteFile("good.filter", "[Common]\nblack_name = \"x\"\n");
  dir_.WriteFile("bad.filter", "[Common]\nblack_name = \"x\" \"y\"\n");
  ASSERT_EQ(0, list_.Load(ustring(dir_.Join("good.filter"))));
  EXPECT_EQ(FILTER_NAME, list_.TestFilePath("/x"));
  EXPECT_EQ(-1, list_.Load(ustring(dir_.Join("bad.filter"))));
  EXPECT_EQ(0, list_.TestFilePath("/x"));
  ASSERT_EQ(0, list_.Load(ustring(dir_.Join("good.filter"))));
  EXPECT_EQ(-1, list_.Load(ustring(dir_.Join("missing.filter"))));
  EXPECT_EQ(0, list_.TestDirectoryPath("/x"));
}

TEST_F(BlackListTest, ClearExcludesNothing) {
  dir_.WriteFile("f", "[Common]\nmax_path = 3\n[File]\nmax_size = 1\nblack_ext = \"a\"\n");
  ASSERT_EQ(0, list_.Load(ustring(dir_.Join("f"))));
  EXPECT_EQ(FILTER_EXT, list_.TestFilePath("/x.a"));
  EXPECT_EQ(FILTER_FILE_SIZE, list_.TestFileSize(2));
  EXPECT_EQ(FILTER_PATH_SIZE, list_.TestFullPathSize(4));
  list_.Clear();
  EXPECT_EQ(0, list_.TestFilePath("/x.a"));
  EXPECT_EQ(0, list_.TestFileSize(2));
  EXPECT_EQ(0, list_.TestFullPathSize(4));
}

TEST_F(BlackListTest, InsertIgnoresAnEntryPresentInOtherCase) {
  Filter* f = list_.GetFilter();
  EXPECT_EQ(0, BlackList2::InsertFilter(&f->common, FILTER_NAME, ustring("Thumbs.db")));
  EXPECT_EQ(0, BlackList2::InsertFilter(&f->common, FILTER_NAME, ustring("THUMBS.DB")));
  EXPECT_EQ((std::vector<std::string>{"Thumbs.db"}), Entries(f->common.black_name));
  EXPECT_EQ(-1, BlackList2::InsertFilter(&f->common, FILTER_EXT, ustring("x")));
  EXPECT_EQ(-1, BlackList2::InsertFilter(&f->common, FILTER_NAME, ustring("")));
  EXPECT_EQ(-1, BlackList2::InsertFilter(&f->common, FILTER_NAME, ustring(std::string(513, 'n'))));
  EXPECT_EQ(0, BlackList2::InsertFilter(&f->common, FILTER_CHAR, ustring(":")));
  EXPECT_EQ(0, BlackList2::InsertFilter(&f->common, FILTER_CHAR, ustring("*")));
  EXPECT_STREQ("*", f->common.black_char.str);
  EXPECT_EQ(0, BlackList2::InsertFilter(&f->common, FILTER_LENGTH, uint64_t{255}));
  EXPECT_EQ(-1, BlackList2::InsertFilter(&f->common, FILTER_FILE_SIZE, uint64_t{1}));
  EXPECT_EQ(0, BlackList2::InsertFilter(&f->file, FILTER_FILE_SIZE_SELECTIVE_SYNC, uint64_t{9}));
  EXPECT_EQ(0, BlackList2::InsertFilter(&f->file, FILTER_EXT_SELECTIVE_SYNC, ustring("iso")));
  EXPECT_EQ(-1, BlackList2::InsertFilter(&f->file, FILTER_DIR_PREFIX, ustring("/x")));
  EXPECT_EQ(0, BlackList2::InsertFilter(&f->directory, FILTER_NAME, ustring("build")));
  EXPECT_EQ(-1, BlackList2::InsertFilter(&f->directory, FILTER_PREFIX, ustring("b")));
  EXPECT_EQ(0, BlackList2::InsertFilter(&f->version, 1, 1));
  EXPECT_EQ(0, BlackList2::RemoveFilter(&f->file, FILTER_EXT_SELECTIVE_SYNC, ustring("ISO")));
  EXPECT_EQ(1u, f->file.black_ext_selective_sync.used);  // removal is case-sensitive
  EXPECT_EQ(0, BlackList2::RemoveFilter(&f->file, FILTER_EXT_SELECTIVE_SYNC, ustring("iso")));
  EXPECT_EQ(0u, f->file.black_ext_selective_sync.used);
  EXPECT_EQ(-1, BlackList2::RemoveFilter(&f->file, FILTER_NAME, ustring("iso")));
  EXPECT_EQ(-1, BlackList2::RemoveFilter(&f->common, FILTER_NAME, ustring("Thumbs.db")));
  list_.ReturnFilter();
  EXPECT_EQ(1, list_.GetMajorVersion());
  EXPECT_EQ(1, list_.GetMinorVersion());
  EXPECT_EQ(FILTER_LENGTH, list_.TestFilePath(("/" + std::string(256, 'l')).c_str()));
  EXPECT_EQ(FILTER_FILE_SIZE_SELECTIVE_SYNC, list_.TestFileSize(10));
  EXPECT_EQ(FILTER_NAME, list_.TestDirectoryPath("/src/Build"));
}

// Random inserts and removals against a model of case-insensitive sets,
// written to a file and loaded back into a second list.
TEST_F(BlackListTest, RandomEditsMatchModelAndSurviveWriteAndLoad) {
  const uint64_t seed = testing::TestSeed();
  SCOPED_TRACE("seed=" + std::to_string(seed));
  std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
  const char* words[] = {"a", "A", "b", "Thumbs.db", "thumbs.DB", "~$", "/tmp", "/TMP", "x y", "\xc3\xa9"};
  std::vector<std::string> prefix_model, dir_model;  // insertion order as stored
  auto has = [](const std::vector<std::string>& m, const std::string& w) {
    for (const auto& e : m) if (Lower(e) == Lower(w)) return true;
    return false;
  };
  for (int step = 0; step < 300; ++step) {
    std::string w = words[rng() % 10];
    bool dir_set = rng() % 2;
    int code = dir_set ? FILTER_DIR_PREFIX : FILTER_PREFIX;
    std::vector<std::string>& model = dir_set ? dir_model : prefix_model;
    Filter* f = list_.GetFilter();
    if (rng() % 3) {
      ASSERT_EQ(0, BlackList2::InsertFilter(&f->common, code, ustring(w)));
      if (!has(model, w)) model.push_back(w);
    } else {
      ASSERT_EQ(0, BlackList2::RemoveFilter(&f->common, code, ustring(w)));
      for (size_t i = 0; i < model.size(); ++i) {
        if (model[i] == w) {
          model[i] = model.back();
          model.pop_back();
          break;
        }
      }
    }
    EXPECT_EQ(prefix_model, Entries(f->common.black_prefix));
    EXPECT_EQ(dir_model, Entries(f->common.black_dir_prefix));
    list_.ReturnFilter();
  }
  ASSERT_EQ(0, list_.Write(ustring(dir_.Join("out.filter"))));
  BlackList2 back;
  ASSERT_EQ(0, back.Load(ustring(dir_.Join("out.filter"))));
  Filter* f = back.GetFilter();
  EXPECT_EQ(prefix_model, Entries(f->common.black_prefix));
  EXPECT_EQ(dir_model, Entries(f->common.black_dir_prefix));
  back.ReturnFilter();
}

TEST_F(BlackListTest, TestsSeeTheOldOrTheNewRulesDuringReload) {
  dir_.WriteFile("a.filter", "[Common]\nblack_name = \"one\", \"two\"\n");
  dir_.WriteFile("b.filter", "[Common]\nblack_name = \"three\"\n");
  ASSERT_EQ(0, list_.Load(ustring(dir_.Join("a.filter"))));
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::thread tester([&] {
    while (!stop) {
      // Under the lock the record is one file's rules or the other's.
      std::vector<std::string> names = Entries(list_.GetFilter()->common.black_name);
      list_.ReturnFilter();
      if (names != std::vector<std::string>{"one", "two"} && names != std::vector<std::string>{"three"}) {
        ++torn;
      }
      (void)list_.TestFilePath("/one");
    }
  });
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(0, list_.Load(ustring(dir_.Join(i % 2 ? "a.filter" : "b.filter"))));
  }
  stop = true;
  tester.join();
  EXPECT_EQ(0, torn.load());
}

TEST(BlackListLockTest, HolderOfTheRecordMayCallEveryOtherOperation) {
  testing::TempDir dir;
  dir.WriteFile("rules.filter", "[Common]\nblack_name = \"x\"\n");
  // Shared with the worker thread, which keeps it alive even when this
  // test gives up on a deadlock (the list's lock would then stay taken).
  auto list = std::make_shared<BlackList2>();
  const ustring rules(dir.Join("rules.filter"));
  const ustring out(dir.Join("out.filter"));
  auto finished = std::make_shared<std::promise<bool>>();
  std::future<bool> done = finished->get_future();
  std::thread([list, rules, out, finished] {
    Filter* f = list->GetFilter();
    bool ok = BlackList2::InsertFilter(&f->common, FILTER_NAME, ustring("y")) == 0;
    ok = ok && list->TestFilePath(ustring("/a/y")) != 0;
    ok = ok && list->TestFileSize(5) == 0 && list->TestFullPathSize(5) == 0;
    ok = ok && list->GetMajorVersion() == 0;
    ok = ok && list->Write(out) == 0;
    ok = ok && list->Load(rules) == 0;
    ok = ok && f->common.black_name.used != 0;  // the held record is the live one
    list->ReturnFilter();
    finished->set_value(ok);
  }).detach();
  ASSERT_EQ(std::future_status::ready, done.wait_for(std::chrono::seconds(30))) << "deadlock";
  EXPECT_TRUE(done.get());
  EXPECT_NE(0, list->TestFilePath(ustring("/a/x")));
  EXPECT_EQ(0, list->TestFilePath(ustring("/a/y"))) << "the reloaded rules are in force";
  EXPECT_NE(std::string::npos, dir.ReadFile("out.filter").find("y")) << "the edit was written";
}

TEST(WhiteListCppTest, LoadTestAndClear) {
  testing::TempDir dir;
  WhiteListCpp list;
  EXPECT_EQ(-1, list.Test("a.doc"));
  dir.WriteFile("w", "[File]\nwhite_ext = \"DOC\"\n");
  ASSERT_EQ(0, list.Load(ustring(dir.Join("w"))));
  EXPECT_EQ(0, list.Test("a.doc"));
  EXPECT_EQ(-1, list.Test("a.txt"));
  list.Clear();
  EXPECT_EQ(-1, list.Test("a.doc"));
  ASSERT_EQ(0, list.Load(ustring(dir.Join("w"))));
  EXPECT_EQ(-1, list.Load(ustring(dir.Join("missing"))));
  EXPECT_EQ(-1, list.Test("a.doc"));
}

TEST(SyncFolderTest, AcceptsDirectoriesAndMountRootsOnly) {
  testing::TempDir dir;
  dir.WriteFile("plain.txt", "x");
  ASSERT_EQ(0, ::mkdir(dir.Join("folder").c_str(), 0755));
  ASSERT_EQ(0, ::symlink(dir.Join("folder").c_str(), dir.Join("link").c_str()));
  ASSERT_EQ(0, ::mkfifo(dir.Join("fifo").c_str(), 0644));
  EXPECT_TRUE(IsValidSyncFolder(ustring(dir.Join("folder"))));
  EXPECT_TRUE(IsValidSyncFolder(ustring("/")));
  EXPECT_FALSE(IsValidSyncFolder(ustring(dir.Join("link"))));
  EXPECT_FALSE(IsValidSyncFolder(ustring(dir.Join("plain.txt"))));
  EXPECT_FALSE(IsValidSyncFolder(ustring(dir.Join("fifo"))));
  EXPECT_FALSE(IsValidSyncFolder(ustring(dir.Join("missing"))));
  EXPECT_FALSE(IsValidSyncFolder(ustring("/dev/null")));
  EXPECT_FALSE(IsValidSyncFolder(ustring("")));
  // /proc is a file system of its own mounted on a directory.
  EXPECT_TRUE(IsValidSyncFolder(ustring("/proc")));
}

}  // namespace
}  // namespace tidewell
