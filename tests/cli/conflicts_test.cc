#include "cli/conflicts.h"

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "sync/conflict_rename.h"

namespace tidewell::cli {
namespace {

TEST(ConflictsTest, NamesTheEngineMakesAreRecognisedAndOthersAreNot) {
  const ustring stamp = ConflictTimeStamp(1765200000);
  struct Case {
    std::string original;
    std::string insert;  // what the engine puts before the extension
    std::string client;
    std::string reason;
  } cases[] = {
      {"report.txt", "_PC1_" + std::string(stamp.c_str_utf8()) + "_Conflict", "PC1", "Conflict"},
      {"report.txt", "_PC1_" + std::string(stamp.c_str_utf8()) + "_Conflict_12", "PC1", "Conflict"},
      {"my_notes.tar.gz", "_laptop-2_" + std::string(stamp.c_str_utf8()) + "_Conflict", "laptop-2", "Conflict"},
      {"Makefile", "_box_" + std::string(stamp.c_str_utf8()) + "_TailCharacterConflict", "box", "TailCharacterConflict"},
      {"notes.txt", "_box_" + std::string(stamp.c_str_utf8()) + "_WhiteSpaceConflict_0", "box", "WhiteSpaceConflict"},
  };
  for (const Case& c : cases) {
    const std::string name = InsertBeforeExtension(ustring(c.original), ustring(c.insert)).c_str_utf8();
    SCOPED_TRACE(name);
    std::string original, client, reason;
    ASSERT_TRUE(ParseConflictName(name, original, client, reason));
    EXPECT_EQ(c.original, original);
    EXPECT_EQ(c.client, client);
    EXPECT_EQ(c.reason, reason);
  }
  for (const char* plain : {"report.txt", "a_b_c.txt", "x_PC1_Dec-08-1432_Conflict.txt", "_PC1_Dec-08-1432-2026_Conflict",
                            "report_PC1_Dec-08-1432-2026_Conflicts.txt"}) {
    std::string original, client, reason;
    EXPECT_FALSE(ParseConflictName(plain, original, client, reason)) << plain;
  }
}

TEST(ConflictsTest, CopiesAreFoundInEveryFolderButTheWorkingFolder) {
  testing::TempDir dir;
  dir.WriteFile("root/a_PC1_Dec-08-1432-2026_Conflict.txt", "1234");
  dir.WriteFile("root/a.txt", "x");
  dir.WriteFile("root/d/e/b_PC2_Dec-08-1432-2026_Conflict_1", "");
  dir.WriteFile("root/.VeltronaWorkingDirectory/#VeltRecycle/c_PC1_Dec-08-1432-2026_Conflict.txt", "");
  std::vector<ConflictCopy> copies;
  ASSERT_EQ(0, FindConflictCopies(dir.Join("root"), copies));
  ASSERT_EQ(2u, copies.size());
  EXPECT_EQ("/a_PC1_Dec-08-1432-2026_Conflict.txt", copies[0].path);
  EXPECT_EQ("/a.txt", copies[0].original);
  EXPECT_EQ(4u, copies[0].size);
  EXPECT_EQ("/d/e/b", copies[1].original);
  EXPECT_EQ("PC2", copies[1].client);
}

}  // namespace
}  // namespace tidewell::cli
