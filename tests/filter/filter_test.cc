#include "filter/filter.h"

#include <gtest/gtest.h>

#include <string>

#include "common/temp_dir.h"
#include "filter/parser.h"

namespace tidewell {
namespace {

class FilterTest : public ::testing::Test {
 protected:
  void SetUp() override { filter_init(&filter_); }
  void TearDown() override { filter_destroy(&filter_); }

  void Load(const std::string& text) {
    dir_.WriteFile("blacklist.filter", text);
    filter_destroy(&filter_);
    ASSERT_EQ(0, filter_read(&filter_, dir_.Join("blacklist.filter").c_str()));
  }
  int File(const char* path) { return filter_test_path(&filter_, 0, path); }
  int Dir(const char* path) { return filter_test_path(&filter_, 1, path); }

  testing::TempDir dir_;
  Filter filter_;
};

TEST_F(FilterTest, CommonNamesMatchFilesAndDirectoriesInAnyCase) {
  Load("[Common]\nblack_name = \"Thumbs.db\", \"desktop.ini\"\n");
  EXPECT_EQ(FILTER_NAME, File("/Thumbs.db"));
  EXPECT_EQ(FILTER_NAME, File("/a/THUMBS.DB"));
  EXPECT_EQ(FILTER_NAME, File("/Desktop.INI"));
  EXPECT_EQ(FILTER_NAME, Dir("/x/thumbs.db"));
  EXPECT_EQ(FILTER_NAME, File("/thumbs.db/inside.txt"));
  EXPECT_EQ(0, File("/Thumbs.dbx"));
  EXPECT_EQ(0, Dir("/a/b"));
}

TEST_F(FilterTest, PrefixOfTildeAndDollar) {
  Load("[Common]\nblack_prefix = \"~\\x24\"\n");
  EXPECT_EQ(FILTER_PREFIX, File("/docs/~$report.docx"));
  EXPECT_EQ(0, File("/docs/report~$.docx"));
}

TEST_F(FilterTest, DirPrefixMatchesThePathAndBelowOnly) {
  Load("[Common]\nblack_dir_prefix = \"/tmp\"\nblack_path_prefix_selective_sync = \"/Big/Data\"\n");
  EXPECT_EQ(FILTER_DIR_PREFIX, Dir("/tmp"));
  EXPECT_EQ(FILTER_DIR_PREFIX, File("/tmp/a"));
  EXPECT_EQ(FILTER_DIR_PREFIX, Dir("/TMP/a/b"));
  EXPECT_EQ(0, File("/tmpfile"));
  EXPECT_EQ(0, Dir("/tmpdir/x"));
  EXPECT_EQ(FILTER_PATH_PREFIX_SELECTIVE_SYNC, Dir("/big/data"));
  EXPECT_EQ(FILTER_PATH_PREFIX_SELECTIVE_SYNC, File("/Big/Data/x/y.bin"));
  EXPECT_EQ(0, File("/Big/Database"));
}

TEST_F(FilterTest, ExtensionIsAfterTheLastDotNotAtTheStart) {
  Load("[File]\nblack_ext = \"gz\", \"profile\", \"tar\"\nblack_ext_selective_sync = \"ISO\"\n");
  EXPECT_EQ(FILTER_EXT, File("/archive.tar.gz"));
  EXPECT_EQ(0, File("/.profile"));
  EXPECT_EQ(0, File("/archive.tar.bz2"));
  EXPECT_EQ(FILTER_EXT, File("/a/b.GZ"));
  EXPECT_EQ(FILTER_EXT_SELECTIVE_SYNC, File("/disk.iso"));
  // Extension rules are for files; a directory named like one stays.
  EXPECT_EQ(0, Dir("/backup.gz"));
}

TEST_F(FilterTest, CharactersLengthAndSections) {
  Load("[Common]\nblack_char = \":\"\nmax_length = 8\n"
       "[File]\nblack_char = \"*\"\nblack_name = \"core\"\nblack_prefix = \".nfs\"\n"
       "black_name_selective_sync = \"Huge.bin\"\n"
       "[Directory]\nblack_char = \"!\"\nblack_name = \"build\"\nblack_prefix = \"tmp_\"\n");
  EXPECT_EQ(FILTER_CHAR, File("/a:b"));
  EXPECT_EQ(FILTER_CHAR, Dir("/x/a:b/c"));
  EXPECT_EQ(FILTER_LENGTH, File("/123456789"));
  EXPECT_EQ(0, File("/12345678"));
  EXPECT_EQ(FILTER_LENGTH, Dir("/123456789/x"));
  EXPECT_EQ(FILTER_CHAR, File("/a*b"));
  EXPECT_EQ(0, Dir("/a*b"));
  EXPECT_EQ(FILTER_NAME, File("/x/CORE"));
  EXPECT_EQ(0, Dir("/core"));
  EXPECT_EQ(FILTER_PREFIX, File("/.nfs0001"));
  EXPECT_EQ(FILTER_NAME_SELECTIVE_SYNC, File("/huge.bin"));
  EXPECT_EQ(FILTER_CHAR, Dir("/wow!"));
  EXPECT_EQ(FILTER_CHAR, File("/wow!/f"));
  EXPECT_EQ(0, File("/wow!"));
  EXPECT_EQ(FILTER_NAME, Dir("/src/Build"));
  EXPECT_EQ(FILTER_NAME, File("/src/build/x.o"));
  EXPECT_EQ(FILTER_PREFIX, Dir("/TMP_1"));
}

TEST_F(FilterTest, FirstRuleInOrderWins) {
  // Common rules come before File rules; the name before its directories.
  Load("[Common]\nblack_name = \"x.gz\"\n[File]\nblack_ext = \"gz\"\n"
       "[Directory]\nblack_name = \"d\"\n");
  EXPECT_EQ(FILTER_NAME, File("/d/x.gz"));
  EXPECT_EQ(FILTER_EXT, File("/d/y.gz"));
  EXPECT_EQ(FILTER_NAME, File("/d/y.txt"));
}

TEST_F(FilterTest, UnusablePaths) {
  EXPECT_EQ(FILTER_ERROR, File("relative.txt"));
  EXPECT_EQ(FILTER_ERROR, File(""));
  EXPECT_EQ(FILTER_ERROR, File(("/" + std::string(512, 'n')).c_str()));
  EXPECT_EQ(0, File(("/" + std::string(511, 'n')).c_str()));
  EXPECT_EQ(FILTER_ERROR, File(("/" + std::string(4094, 'd') + "/f").c_str()));
  EXPECT_EQ(0, File(("/" + std::string(4093, 'd') + "/f").c_str()));
  EXPECT_EQ(0, Dir(""));
  EXPECT_EQ(0, Dir("/"));
}

TEST_F(FilterTest, Sizes) {
  Load("[Common]\nmax_path = 100\n[File]\nmax_size = 0\nmax_size_selective_sync = 50\n");
  // max_size 0 is no limit: a huge file only meets the selective-sync limit.
  EXPECT_EQ(FILTER_FILE_SIZE_SELECTIVE_SYNC, filter_test_file_size(&filter_, 1ull << 60));
  EXPECT_EQ(FILTER_FILE_SIZE_SELECTIVE_SYNC, filter_test_file_size(&filter_, 51));
  EXPECT_EQ(0, filter_test_file_size(&filter_, 50));
  filter_.file.max_size = 60;
  EXPECT_EQ(FILTER_FILE_SIZE, filter_test_file_size(&filter_, 61));
  EXPECT_EQ(FILTER_FILE_SIZE_SELECTIVE_SYNC, filter_test_file_size(&filter_, 60));
  EXPECT_EQ(FILTER_PATH_SIZE, filter_test_full_path_size(&filter_, 101));
  EXPECT_EQ(0, filter_test_full_path_size(&filter_, 100));
  filter_.common.max_path = 0;
  EXPECT_EQ(0, filter_test_full_path_size(&filter_, 1ull << 62));
}

TEST_F(FilterTest, ExtendedAttributeNames) {
  Load("[EA]\nblack_ea_name = \"com.apple.FinderInfo\"\n");
  EXPECT_EQ(FILTER_EA_NAME, filter_test_ea(&filter_, "com.apple.finderinfo"));
  EXPECT_EQ(0, filter_test_ea(&filter_, "user.x"));
}

TEST_F(FilterTest, UnknownKeysNeedANewerMinorVersion) {
  dir_.WriteFile("a.filter", "[Version]\nmajor = 1\nminor = 1\n[File]\nfuture = 1\nmax_size = 9\n");
  dir_.WriteFile("b.filter", "[Version]\nmajor = 1\nminor = 0\n[File]\nfuture = 1\nmax_size = 9\n");
  dir_.WriteFile("c.filter", "[Version]\nmajor = 2\nminor = 1\n[File]\nfuture = 1\nmax_size = 9\n");
  EXPECT_EQ(0, filter_read(&filter_, dir_.Join("a.filter").c_str()));
  EXPECT_EQ(9u, filter_.file.max_size);
  filter_destroy(&filter_);
  EXPECT_EQ(-1, filter_read(&filter_, dir_.Join("b.filter").c_str()));
  EXPECT_EQ(0u, filter_.file.max_size);
  EXPECT_EQ(-1, filter_read(&filter_, dir_.Join("c.filter").c_str()));
  EXPECT_EQ(0, filter_.version.major);
}

TEST_F(FilterTest, BrokenFileLeavesAnEmptyRecord) {
  dir_.WriteFile("bad.filter", "[Common]\nblack_name = \"a\"\n[File]\nmax_size = 0123\n");
  EXPECT_EQ(-1, filter_read(&filter_, dir_.Join("bad.filter").c_str()));
  EXPECT_EQ(0u, filter_.common.black_name.used);
  EXPECT_EQ(0, File("/a"));
  EXPECT_EQ(-1, filter_read(&filter_, dir_.Join("missing.filter").c_str()));
}

}  // namespace
}  // namespace tidewell
