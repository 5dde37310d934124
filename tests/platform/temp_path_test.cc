#include "platform/temp_path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <string>

#include "common/temp_dir.h"
#include "fs_test_util.h"

namespace tidewell {
namespace {

using ::tidewell::testing::Exists;
using ::tidewell::testing::TempDir;

bool HasTempForm(const std::string& path, const std::string& dir) {
  if (path.size() != dir.size() + 9 || path.compare(0, dir.size() + 1, dir + "/") != 0) {
    return false;
  }
  return path.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_",
                                dir.size() + 1) == std::string::npos;
}

TEST(TempPathTest, MktempCreatesDistinctEmptyFiles) {
  TempDir dir;
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    ustring path;
    ASSERT_EQ(0, FSMktemp(dir.path().c_str(), path));
    std::string p = path.c_str_utf8();
    EXPECT_TRUE(HasTempForm(p, dir.path())) << p;
    struct stat st;
    ASSERT_EQ(0, stat(p.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0, st.st_size);
    EXPECT_TRUE(seen.insert(p).second);
  }
  ustring path("unchanged");
  EXPECT_EQ(-1, FSMktemp(dir.Join("missing").c_str(), path));
  EXPECT_EQ(ustring("unchanged"), path);
}

TEST(TempPathTest, CreateTempPathOnlyNamesAFreePath) {
  TempDir dir;
  ustring path;
  ASSERT_EQ(0, FSCreateTempPath(dir.path().c_str(), path));
  EXPECT_TRUE(HasTempForm(path.c_str_utf8(), dir.path()));
  EXPECT_FALSE(Exists(path.c_str_utf8()));
}

}  // namespace
}  // namespace tidewell
