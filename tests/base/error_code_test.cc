#include "base/error_code.h"

#include <climits>
#include <cstring>

#include <gtest/gtest.h>

namespace tidewell {
namespace {

TEST(ErrorCodeTest, TextsFollowTheTableBySign) {
  EXPECT_STREQ("Successful", GetErrorString(ERR_OK));
  EXPECT_STREQ("Interrupted", GetErrorString(ERR_INT));
  EXPECT_STREQ("Protocal error", GetErrorString(ERR_PROTO));
  EXPECT_STREQ("no permission ", GetErrorString(ERR_PERMISS));
  EXPECT_STREQ("file locked or no permission", GetErrorString(ERR_LOCKED_FILE));
  // The sign does not matter: positive codes read the same row.
  EXPECT_STREQ("I/O error", GetErrorString(2));
}

TEST(ErrorCodeTest, CodesOutsideTheTableAreUnknown) {
  EXPECT_STREQ("Unknown error", GetErrorString(ERR_MAX));
  EXPECT_STREQ("Unknown error", GetErrorString(24));
  EXPECT_STREQ("Unknown error", GetErrorString(INT_MIN));
  EXPECT_STREQ("Unknown error", GetErrorString(INT_MAX));
}

TEST(ErrorCodeTest, EveryCodeHasADistinctText) {
  for (int a = ERR_OK; a > ERR_MAX; --a) {
    for (int b = a - 1; b > ERR_MAX; --b) {
      EXPECT_STRNE(GetErrorString(a), GetErrorString(b)) << a << " vs " << b;
    }
  }
}

}  // namespace
}  // namespace tidewell
