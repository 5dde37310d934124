#include <clocale>
#include <string>

#include <gtest/gtest.h>

#include "base/ustring.h"

namespace tidewell {
namespace {

// Runs the test body under a given LC_CTYPE and restores the previous one.
class LocaleScope {
 public:
  explicit LocaleScope(const char* name) : old_(std::setlocale(LC_CTYPE, nullptr)) {
    ok_ = std::setlocale(LC_CTYPE, name) != nullptr;
  }
  ~LocaleScope() { std::setlocale(LC_CTYPE, old_.c_str()); }
  bool ok() const { return ok_; }

 private:
  std::string old_;
  bool ok_ = false;
};

TEST(CodePageTest, Utf8RoundTrip) {
  ustring u;
  ASSERT_EQ(0, UTF8ToNativeStr("p\xc3\xa4th/\xf0\x9f\x98\x80", u));
  EXPECT_STREQ("p\xc3\xa4th/\xf0\x9f\x98\x80", u.c_str_utf8());
  std::string back;
  ASSERT_EQ(0, NativeStrToUTF8(u, back));
  EXPECT_EQ("p\xc3\xa4th/\xf0\x9f\x98\x80", back);
}

TEST(CodePageTest, EmptyInputGivesEmptyResult) {
  ustring u("old");
  EXPECT_EQ(0, UTF8ToNativeStr("", u));
  EXPECT_TRUE(u.empty());
  std::string s = "old";
  EXPECT_EQ(0, NativeStrToCodePage(ustring(), s));
  EXPECT_TRUE(s.empty());
}

TEST(CodePageTest, InvalidUtf8BytesAreSubstituted) {
  ustring u;
  ASSERT_EQ(0, UTF8ToNativeStr("a\xff" "b", u));
  EXPECT_STREQ("a\xef\xbf\xbd" "b", u.c_str_utf8());  // U+FFFD
  EXPECT_TRUE(ustring::is_valid(u));
}

TEST(CodePageTest, BufferLimitsAreEnforced) {
  ustring u;
  ASSERT_EQ(0, UTF8ToNativeStr(std::string(8191, 'x'), u));  // fills the buffer with its terminator
  EXPECT_EQ(8191u, u.length());
  u = "unchanged";
  EXPECT_EQ(-1, UTF8ToNativeStr(std::string(8192, 'x'), u));
  EXPECT_STREQ("unchanged", u.c_str_utf8());

  // 4095 two-byte characters are 8190 bytes: fit. One more does not.
  std::string two;
  for (int i = 0; i < 4095; ++i) two += "\xc3\xa9";
  std::string out;
  ASSERT_EQ(0, NativeStrToUTF8(ustring(two), out));
  EXPECT_EQ(two, out);
  out = "unchanged";
  EXPECT_EQ(-1, NativeStrToUTF8(ustring(two + "\xc3\xa9"), out));
  EXPECT_EQ("unchanged", out);
  EXPECT_EQ(0, NativeStrToUTF8(ustring(two + "x"), out));
  EXPECT_EQ(8191u, out.size());
}

TEST(CodePageTest, NothingConvertedFails) {
  std::string out = "unchanged";
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(-1, NativeStrToUTF8(ustring("\xff"), out));  // no valid wide form
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ("unchanged", out);
  ustring u("unchanged");
  EXPECT_EQ(-1, UTF8ToNativeStr(std::string("\0abc", 4), u));
  EXPECT_STREQ("unchanged", u.c_str_utf8());
}

TEST(CodePageTest, CodePageFollowsTheLocale) {
  {
    LocaleScope c("C");
    ASSERT_TRUE(c.ok());
    ustring u;
    ASSERT_EQ(0, CodePageToNativeStr("plain", u));
    EXPECT_STREQ("plain", u.c_str_utf8());
    std::string back;
    ASSERT_EQ(0, NativeStrToCodePage(ustring("caf\xc3\xa9"), back));
    EXPECT_EQ(4u, back.size());  // é has no ASCII form: substituted, not dropped
    EXPECT_EQ("caf", back.substr(0, 3));
  }
  {
    LocaleScope utf8("C.UTF-8");
    if (!utf8.ok()) GTEST_SKIP() << "no C.UTF-8 locale on this machine";
    ustring u;
    ASSERT_EQ(0, CodePageToNativeStr("caf\xc3\xa9", u));
    EXPECT_STREQ("caf\xc3\xa9", u.c_str_utf8());
    std::string back;
    ASSERT_EQ(0, NativeStrToCodePage(u, back));
    EXPECT_EQ("caf\xc3\xa9", back);
  }
}

}  // namespace
}  // namespace tidewell
