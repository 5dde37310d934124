#include "filter/white_list.h"

#include <gtest/gtest.h>

#include "common/temp_dir.h"

namespace tidewell {
namespace {

class WhiteListTest : public ::testing::Test {
 protected:
  void SetUp() override { white_list_init(&list_); }
  void TearDown() override { white_list_destroy(&list_); }

  int Load(const char* text) {
    dir_.WriteFile("whitelist.filter", text);
    white_list_destroy(&list_);
    return white_list_read(&list_, dir_.Join("whitelist.filter").c_str());
  }

  testing::TempDir dir_;
  WhiteList list_;
};

TEST_F(WhiteListTest, AllowsListedExtensionsInAnyCase) {
  ASSERT_EQ(0, Load("[Version]\nmajor = 1\nminor = 0\n[File]\nwhite_ext = \"doc\", \"TXT\"\n"));
  EXPECT_EQ(0, white_list_test(&list_, "report.DOC"));
  EXPECT_EQ(0, white_list_test(&list_, "a.b.txt"));
  EXPECT_EQ(-1, white_list_test(&list_, "a.txt.bak"));
  EXPECT_EQ(-1, white_list_test(&list_, ".txt"));
  EXPECT_EQ(-1, white_list_test(&list_, "noext"));
  EXPECT_EQ(-1, white_list_test(&list_, ""));
  EXPECT_EQ(-1, white_list_test(&list_, nullptr));
}

TEST_F(WhiteListTest, StarAllowsEveryNonEmptyName) {
  ASSERT_EQ(0, Load("[File]\nwhite_ext = \"*\"\n"));
  EXPECT_EQ(0, white_list_test(&list_, "anything"));
  EXPECT_EQ(0, white_list_test(&list_, ".hidden"));
  EXPECT_EQ(-1, white_list_test(&list_, ""));
}

TEST_F(WhiteListTest, BrokenOrMissingFileAllowsNothing) {
  EXPECT_EQ(-1, Load("[File]\nwhite_ext = \"*\" \"doc\"\n"));
  EXPECT_EQ(-1, white_list_test(&list_, "a.doc"));
  white_list_destroy(&list_);
  EXPECT_EQ(-1, white_list_read(&list_, dir_.Join("missing").c_str()));
  EXPECT_EQ(-1, white_list_test(&list_, "a.doc"));
}

TEST_F(WhiteListTest, BlackListSectionsAreUnknownHere) {
  EXPECT_EQ(-1, Load("[Common]\nblack_name = \"x\"\n"));
}

}  // namespace
}  // namespace tidewell
