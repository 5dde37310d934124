// Conflict names on real folders: where the suffix goes, the counter when a
// name is taken, the blank-trimming rule, and that no rename replaces an
// existing item or passes through a link.

#include "sync/conflict_rename.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <string>

#include "common/temp_dir.h"

namespace tidewell {
namespace {

TEST(ConflictNameTest, SuffixGoesBeforeTheExtensionOfTheLastComponent) {
  struct Case {
    const char* path;
    const char* want;
  };
  const Case cases[] = {
      {"/d/report.txt", "/d/report_S.txt"},
      {"/d/archive.tar.gz", "/d/archive.tar_S.gz"},
      {"/d/noext", "/d/noext_S"},          // no extension: appended
      {"/d/ends.", "/d/ends._S"},          // last dot is the last character
      {"/d.x/file", "/d.x/file_S"},        // a dot in a folder name is no extension
      {"/d\\e.x\\file", "/d\\e.x\\file_S"},  // nor one before a backslash
      {"/.profile", "/_S.profile"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.want, std::string(InsertBeforeExtension(ustring(c.path), ustring("_S")).utf8_view())) << c.path;
}

TEST(ConflictNameTest, TimeStampIsMonthDayHourMinuteYear) {
  struct tm t {};
  t.tm_year = 2025 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 7;
  t.tm_hour = 14;
  t.tm_min = 2;
  t.tm_isdst = -1;
  EXPECT_EQ("Mar-07-1402-2025", std::string(ConflictTimeStamp(mktime(&t)).utf8_view()));
}

class ConflictRenameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.WriteFile("root/d/report.txt", "mine");
    ASSERT_EQ(0, fs.Open(ustring(dir.Join("root"))));
  }
  // The stamps of now and of a minute later (the rename may cross a minute).
  bool StampMatches(const std::string& name, const std::string& prefix, const std::string& tail) {
    time_t now = time(nullptr);
    for (time_t t : {now - 60, now, now + 60})
      if (name == prefix + std::string(ConflictTimeStamp(t).utf8_view()) + tail) return true;
    return false;
  }
  testing::TempDir dir;
  SessionFs fs;
};

TEST_F(ConflictRenameTest, NamesTheClientTimeAndReasonAndCountsWhenTaken) {
  ustring first, second;
  ASSERT_EQ(0, ConflictRename(fs, ustring("/d/report.txt"), ustring("PC1"), ustring("Conflict"), &first));
  EXPECT_TRUE(StampMatches(std::string(first.utf8_view()), "/d/report_PC1_", "_Conflict.txt")) << first.c_str_utf8();
  EXPECT_EQ("mine", dir.ReadFile("root" + std::string(first.utf8_view())));

  dir.WriteFile("root/d/report.txt", "mine again");
  ASSERT_EQ(0, ConflictRename(fs, ustring("/d/report.txt"), ustring("PC1"), ustring("Conflict"), &second));
  // Same minute: the counter; a minute later: a fresh stamp. Either way
  // both contents survive under different names.
  EXPECT_NE(first, second);
  EXPECT_EQ("mine", dir.ReadFile("root" + std::string(first.utf8_view())));
  EXPECT_EQ("mine again", dir.ReadFile("root" + std::string(second.utf8_view())));
  const std::string s(second.utf8_view());
  if (s.find("_Conflict_1.txt") != std::string::npos) {
    EXPECT_TRUE(StampMatches(s, "/d/report_PC1_", "_Conflict_1.txt")) << s;
  } else {
    EXPECT_TRUE(StampMatches(s, "/d/report_PC1_", "_Conflict.txt")) << s;
  }
}

TEST_F(ConflictRenameTest, WhiteSpaceRuleTrimsFirstThenUsesTheSuffix) {
  dir.WriteFile("root/d/ notes.txt ", "one");
  ustring to;
  ASSERT_EQ(0, WhiteSpaceConflictRename(fs, ustring("/d/ notes.txt "), ustring(" notes.txt "), ustring("PC1"), &to));
  EXPECT_EQ("/d/notes.txt", std::string(to.utf8_view()));
  dir.WriteFile("root/d/ notes.txt", "two");
  ASSERT_EQ(0, WhiteSpaceConflictRename(fs, ustring("/d/ notes.txt"), ustring(" notes.txt"), ustring("PC1"), &to));
  EXPECT_TRUE(StampMatches(std::string(to.utf8_view()), "/d/notes_PC1_", "_WhiteSpaceConflict.txt")) << to.c_str_utf8();
  EXPECT_EQ("one", dir.ReadFile("root/d/notes.txt"));
  EXPECT_EQ("two", dir.ReadFile("root" + std::string(to.utf8_view())));
}

TEST_F(ConflictRenameTest, NeverPassesThroughALink) {
  ASSERT_EQ(0, mkdir(dir.Join("outside").c_str(), 0755));
  dir.WriteFile("outside/x.txt", "outside");
  ASSERT_EQ(0, symlink(dir.Join("outside").c_str(), dir.Join("root/out").c_str()));
  EXPECT_EQ(-ELOOP, ConflictRename(fs, ustring("/out/x.txt"), ustring("PC1"), ustring("Conflict")));
  EXPECT_EQ("outside", dir.ReadFile("outside/x.txt"));
}

}  // namespace
}  // namespace tidewell
