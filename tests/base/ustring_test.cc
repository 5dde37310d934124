#include "base/ustring.h"

#include <algorithm>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace tidewell {
namespace {

std::u16string Wide(const ustring& s) { return std::u16string(s.c_str()); }

// Counts the lines a call writes to standard error.
template <typename F>
std::string StderrOf(F&& f) {
  ::testing::internal::CaptureStderr();
  f();
  return ::testing::internal::GetCapturedStderr();
}

TEST(UstringTest, WideFormIsComputedAgainAfterEveryChange) {
  ustring s("abc");
  EXPECT_EQ(u"abc", Wide(s));
  s.append("d");
  EXPECT_EQ(u"abcd", Wide(s));
  s.append(u"\u00e9");
  EXPECT_STREQ("abcd\xc3\xa9", s.c_str_utf8());
  EXPECT_EQ(u"abcd\u00e9", Wide(s));
  s[0] = 'X';
  EXPECT_EQ(u"Xbcd\u00e9", Wide(s));
  s.replace('b', '/');
  EXPECT_EQ(u"X/cd\u00e9", Wide(s)) << "replace must not leave a stale wide form";
  s.clear();
  EXPECT_EQ(u"", Wide(s));
  EXPECT_EQ(0u, s.length());
}

TEST(UstringTest, WideTextAssignsAndAppends) {
  ustring s(u"x");
  s.append(u"yz");
  EXPECT_STREQ("xyz", s.c_str_utf8());
  EXPECT_EQ(u"xyz", Wide(s));
  s.assign(u"\U0001F600abc", 3);  // a surrogate pair and one more unit
  EXPECT_STREQ("\xf0\x9f\x98\x80" "a", s.c_str_utf8());
  s.assign(u'z', 3);
  EXPECT_STREQ("zzz", s.c_str_utf8());
  s.append(u'\u00e9', 2);
  EXPECT_STREQ("zzz\xc3\xa9\xc3\xa9", s.c_str_utf8());
  EXPECT_STREQ("ab\xc3\xa9", (ustring("ab") + u"\u00e9").c_str_utf8());
  EXPECT_STREQ("ab!", (ustring("ab") + u'!').c_str_utf8());
}

TEST(UstringTest, UnpairedSurrogateEmptiesTheStringWithOneWarning) {
  ustring s("keep");
  const char16_t bad[] = {u'a', 0xD800, u'b', 0};
  std::string err = StderrOf([&] { s.append(bad); });
  EXPECT_TRUE(s.empty());
  EXPECT_EQ(u"", Wide(s));
  EXPECT_EQ(0u, err.find("Warning: u_strToUTF8: error code "));
  EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n'));
}

TEST(UstringTest, InvalidUtf8IsKeptButHasNoWideForm) {
  ustring s("ab\xff" "c");
  EXPECT_FALSE(ustring::is_valid(s));
  std::string err = StderrOf([&] { EXPECT_EQ(u"", Wide(s)); });
  EXPECT_EQ(0u, err.find("Warning: u_strFromUTF8: error code 10 at line "));
  EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n'));
  EXPECT_EQ(4u, s.length()) << "the UTF-8 form is left as it was";
  // Appending wide text keeps the undecodable bytes instead of losing them.
  StderrOf([&] { s.append(u"d"); });
  EXPECT_EQ(std::string("ab\xff" "cd"), s.c_str_utf8());

  EXPECT_TRUE(ustring::is_valid(ustring()));
  EXPECT_TRUE(ustring::is_valid(ustring("plain \xc3\xa9 \xf0\x9f\x98\x80")));
  EXPECT_FALSE(ustring::is_valid(ustring("\xc0\xaf")));          // overlong "/"
  EXPECT_FALSE(ustring::is_valid(ustring("\xed\xa0\x80")));      // encoded surrogate
  EXPECT_FALSE(ustring::is_valid(ustring("\xf4\x90\x80\x80")));  // beyond U+10FFFF
  EXPECT_FALSE(ustring::is_valid(ustring("abc\xe2\x82")));       // truncated sequence
  EXPECT_FALSE(ustring::is_valid(ustring(std::string("a\0\xff", 3))));
}

TEST(UstringTest, CaselessCompareFoldsOnlyAscii) {
  EXPECT_LT(ustring::compare("ABC", "abd", true), 0);
  EXPECT_EQ(0, ustring::compare("ABC", "abc", true));
  EXPECT_NE(0, ustring::compare("\xc3\x84", "\xc3\xa4", true));  // A-umlaut vs a-umlaut
  EXPECT_LT(ustring::compare("ABC", "abc", false), 0);
  // The result is the difference of the first differing unsigned bytes.
  EXPECT_EQ('c' - 'a', ustring::compare("abc", "aba", false));
  EXPECT_EQ(0xff - 'a', ustring::compare("\xff", "a", false));
  EXPECT_EQ(-'c', ustring::compare("ab", "abc", false));
  EXPECT_EQ('c', ustring("abc").compare("ab"));
  EXPECT_EQ(0, ustring("abc").compare("abd", 2));
  EXPECT_LT(ustring("abc").compare("abd", 3), 0);
  EXPECT_EQ(0, ustring("x").compare("y", 0));
  EXPECT_LT(ustring("ab").compare("abc", 5), 0);
  // Embedded NULs still give a strict order consistent with ==.
  const ustring with_nul(std::string("a\0", 2));
  EXPECT_LT(ustring("a"), with_nul);
  EXPECT_NE(ustring("a"), with_nul);
}

TEST(UstringTest, OrderedMapsOrderByRawBytes) {
  std::map<ustring, int> m{{"b", 1}, {"B", 2}, {"\xc3\xa9", 3}, {"a/b", 4}, {"a", 5}};
  std::string order;
  for (const auto& [k, v] : m) order += std::string(k.c_str_utf8()) + "|";
  EXPECT_EQ("B|a|a/b|b|\xc3\xa9|", order);
  EXPECT_TRUE(ustring("a") == "a");
  EXPECT_TRUE(ustring("a") != "b");
  EXPECT_TRUE(ustring("a") < ustring("b") && ustring("b") > ustring("a"));
}

TEST(UstringTest, SelfAssignAndAppendAreSafe) {
  ustring s("hello world");
  s = s;
  EXPECT_STREQ("hello world", s.c_str_utf8());
  s.assign(s.c_str_utf8(), 5);  // own data pointer, shorter: truncates
  EXPECT_STREQ("hello", s.c_str_utf8());
  s.append(s.c_str_utf8());
  EXPECT_STREQ("hellohello", s.c_str_utf8());
  s.append(s);
  EXPECT_STREQ("hellohellohellohello", s.c_str_utf8());
  s.assign(s, 15);
  EXPECT_STREQ("hello", s.c_str_utf8());
  s.append(s, 1, 2);
  EXPECT_STREQ("helloel", s.c_str_utf8());
  s.assign(s.c_str_utf8() + 5);  // a tail of itself
  EXPECT_STREQ("el", s.c_str_utf8());
  s.append(s.c_str());  // its own wide cache
  EXPECT_STREQ("elel", s.c_str_utf8());
  s.assign(s.c_str() + 1);
  EXPECT_STREQ("lel", s.c_str_utf8());
  s += s;
  EXPECT_STREQ("lellel", s.c_str_utf8());
}

TEST(UstringTest, AssignAndAppendVariants) {
  ustring s;
  s.assign("abcdef", 3);
  EXPECT_STREQ("abc", s.c_str_utf8());
  s.append("de\0fg", 10);  // stops at the NUL
  EXPECT_STREQ("abcde", s.c_str_utf8());
  s.assign(std::string("0123456789"), 2, 3);
  EXPECT_STREQ("234", s.c_str_utf8());
  s.append(std::string("xyz"), 1);
  EXPECT_STREQ("234yz", s.c_str_utf8());
  s.assign('-', 3);
  EXPECT_STREQ("---", s.c_str_utf8());
  s.append('+', 2);
  EXPECT_STREQ("---++", s.c_str_utf8());
  s.assign(static_cast<const char*>(nullptr));
  EXPECT_TRUE(s.empty());
  EXPECT_STREQ("ab/c", (ustring("ab") + '/' + "c").c_str_utf8());
  EXPECT_STREQ("abc", (ustring("a") + ustring("bc")).c_str_utf8());
  EXPECT_STREQ("x", ustring('x').c_str_utf8());
  EXPECT_STREQ("s", ustring(std::string("s")).c_str_utf8());
}

TEST(UstringTest, OutOfRangeStartsThrow) {
  const ustring s("abcde");
  EXPECT_TRUE(s.substr(5).empty());
  EXPECT_STREQ("cd", s.substr(2, 2).c_str_utf8());
  EXPECT_STREQ("cde", s.substr(2, ustring::npos).c_str_utf8());
  EXPECT_STREQ("cde", s.substr(2, 100).c_str_utf8());
  try {
    (void)s.substr(6);
    FAIL() << "substr(6) did not throw";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ("substr", e.what());
  }
  ustring t("keep");
  EXPECT_THROW(t.assign(std::string("ab"), 3), std::out_of_range);
  EXPECT_THROW(t.append(std::string("ab"), 3), std::out_of_range);
  EXPECT_THROW(t.assign(s, 6), std::out_of_range);
  EXPECT_THROW(t.append(s, 6), std::out_of_range);
  EXPECT_STREQ("keep", t.c_str_utf8()) << "a throwing call must not change the string";
  t.assign(std::string("ab"), 2);  // start at the end is fine
  EXPECT_TRUE(t.empty());
}

TEST(UstringTest, BuffersGrowExactlyAndShrinkBelowHalf) {
  ustring s;
  EXPECT_EQ(4u, s.capacity());
  EXPECT_EQ(0u, s.capacity_utf16()) << "allocated on first use";
  s.assign("abc");  // needs 4: unchanged
  EXPECT_EQ(4u, s.capacity());
  s.assign("abcdefghij");  // needs 11: grows to exactly 11
  EXPECT_EQ(11u, s.capacity());
  s.assign("abcde");  // needs 6, not under half of 11: kept
  EXPECT_EQ(11u, s.capacity());
  s.assign("abcd");  // needs 5, under half of 11: shrinks to 5
  EXPECT_EQ(5u, s.capacity());
  s.clear();
  EXPECT_EQ(5u, s.capacity()) << "clear keeps the capacity";
  ASSERT_EQ(u"", Wide(ustring()));
  ustring w("0123456789");
  (void)w.c_str();
  EXPECT_EQ(11u, w.capacity_utf16());
  w.assign("0");
  (void)w.c_str();
  EXPECT_EQ(2u, w.capacity_utf16());
  ustring e("");
  EXPECT_EQ(1u, e.capacity());
  EXPECT_STREQ("", e.c_str_utf8());
}

TEST(UstringTest, MovesAndSwapsKeepBothSidesUsable) {
  ustring a("first");
  (void)a.c_str();
  ustring b(std::move(a));
  EXPECT_STREQ("first", b.c_str_utf8());
  EXPECT_EQ(u"first", Wide(b));
  EXPECT_TRUE(a.empty());  // NOLINT(bugprone-use-after-move): moved-from is empty by contract
  EXPECT_STREQ("", a.c_str_utf8());
  EXPECT_EQ(u"", Wide(a));
  a.clear();
  a.append("again");
  EXPECT_STREQ("again", a.c_str_utf8());
  ustring c;
  c = std::move(b);
  EXPECT_STREQ("first", c.c_str_utf8());
  b.trim(" ");
  b.replace('a', 'b');
  b = "reuse";
  EXPECT_STREQ("reuse", b.c_str_utf8());
  swap(b, c);
  EXPECT_STREQ("first", b.c_str_utf8());
  EXPECT_STREQ("reuse", c.c_str_utf8());
  ustring copy(c);
  copy[0] = 'R';
  EXPECT_STREQ("reuse", c.c_str_utf8()) << "copies never share buffers";
}

TEST(UstringTest, TrimAndReplace) {
  ustring blanks("   ");
  blanks.trim(" ");
  EXPECT_TRUE(blanks.empty());
  ustring path("a/b//");
  path.rtrim("/");
  EXPECT_STREQ("a/b", path.c_str_utf8());
  ustring both("//x/y//");
  both.trim(ustring("/"));
  EXPECT_STREQ("x/y", both.c_str_utf8());
  ustring untouched(" x ");
  untouched.trim("");
  EXPECT_STREQ(" x ", untouched.c_str_utf8());
  ustring mixed(" \t-x- \t");
  mixed.ltrim(" \t-");
  EXPECT_STREQ("x- \t", mixed.c_str_utf8());
  EXPECT_EQ(4u, mixed.length());
  ustring win("C:\\dir\\file");
  win.replace('\\', '/');
  EXPECT_STREQ("C:/dir/file", win.c_str_utf8());
}

TEST(UstringTest, NormalizationFormsCAndD) {
  const ustring decomposed("e\xcc\x81");  // e + combining acute
  const ustring nfc = decomposed.normalize(ustring::NFC);
  EXPECT_STREQ("\xc3\xa9", nfc.c_str_utf8());
  EXPECT_EQ(2u, nfc.length());
  EXPECT_STREQ("e\xcc\x81", ustring::normalize(nfc, ustring::NFD).c_str_utf8());
  EXPECT_TRUE(ustring().normalize(ustring::NFC).empty());
  // Hangul and a long text exercise the size probe.
  const std::string long_text(5000, 'x');
  EXPECT_EQ(long_text, ustring(long_text + "e\xcc\x81").normalize(ustring::NFC).substr(0, 5000).c_str_utf8());
  EXPECT_STREQ("\xe1\x84\x92\xe1\x85\xa1\xe1\x86\xab",
               ustring("\xed\x95\x9c").normalize(ustring::NFD).c_str_utf8());
  std::string err = StderrOf([] { EXPECT_TRUE(ustring("\xff").normalize(ustring::NFC).empty()); });
  EXPECT_NE(std::string::npos, err.find("Warning: "));
}

TEST(UstringTest, StreamOperators) {
  std::ostringstream out;
  out << ustring("p\xc3\xa4th") << '|' << ustring();
  EXPECT_EQ("p\xc3\xa4th|", out.str());
  std::istringstream in("  first second\n");
  ustring a, b, c("kept");
  in >> a >> b;
  EXPECT_STREQ("first", a.c_str_utf8());
  EXPECT_STREQ("second", b.c_str_utf8());
  EXPECT_FALSE(in >> c);
  EXPECT_STREQ("kept", c.c_str_utf8());
}

TEST(UstringTest, HashAgreesWithEquality) {
  std::hash<ustring> h;
  EXPECT_EQ(h(ustring("abc")), h(ustring(u"abc")));
}

}  // namespace
}  // namespace tidewell
