#include "base/utf8_prefix.h"

#include <gtest/gtest.h>

#include <string>

namespace tidewell {
namespace {

TEST(Utf8PrefixTest, CutsBeforeTheCharacterTheBudgetWouldSplit) {
  // "aé€😀": 1 + 2 + 3 + 4 bytes.
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  struct Case {
    size_t budget;
    size_t kept;
  } cases[] = {
      {0, 0},    // nothing fits
      {1, 1},    // "a"
      {2, 1},    // half of "é"
      {3, 3},    // "aé"
      {4, 3},    // "€" needs three
      {5, 3},
      {6, 6},    // "aé€"
      {7, 6},    // "😀" needs four
      {9, 6},
      {10, 10},  // all of it
      {99, 10},  // more than enough
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text.substr(0, c.kept), Utf8Prefix(text, c.budget)) << "budget " << c.budget;
  }
  EXPECT_EQ("", Utf8Prefix("", 0));
  // Stray continuation bytes at the start leave nothing rather than a
  // broken character.
  EXPECT_EQ("", Utf8Prefix("\x80\x80\x80", 2));
}

}  // namespace
}  // namespace tidewell
