#include "filter/parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/temp_dir.h"
#include "filter/filter.h"

namespace tidewell {
namespace {

std::vector<std::string> Entries(const value_type_string_set& set) {
  return std::vector<std::string>(set.set, set.set + set.used);
}

class ParserTest : public ::testing::Test {
 protected:
  void SetUp() override { filter_init(&filter_); }
  void TearDown() override { filter_destroy(&filter_); }

  int Parse(const std::string& text) {
    return parse_buffer(text.data(), text.size(), &kFilterSchema, &filter_, &error_);
  }

  Filter filter_;
  ParseErrorInfo error_{};
};

struct BadCase {
  const char* text;
  int code;
  int line;
};

TEST_F(ParserTest, ReportsEachSyntaxErrorByCodeAndLine) {
  const std::string long_name(33, 'a');
  const std::string max_name(32, 'a');
  const std::string long_string = "[Common]\nblack_name = \"" + std::string(513, 'x') + "\"\n";
  const std::string long_number = "[File]\nmax_size = 1." + std::string(510, '0') + "\n";
  const std::string long_line = "[Common]\n# " + std::string(1100, 'c') + "\n";
  const std::vector<std::string> owned = {
      "[" + long_name + "]\n",
      "[Common]\n" + long_name + " = 1\n",
      "[Common]\n" + max_name + " = 1\n",  // a known length, but an unknown key
      long_string,
      long_number,
      long_line,
  };
  const BadCase cases[] = {
      {"[\n", SECTION_MISSING_RIGHT_BRACKET, 1},
      {"# c\n[Common\n", SECTION_MISSING_RIGHT_BRACKET, 2},
      {"[]\n", SECTION_MISSING_SECTION, 1},
      {"[Com mon]\n", SECTION_ILLEGAL_CHARACTER, 1},
      {"[Com.mon]\n", SECTION_ILLEGAL_CHARACTER, 1},
      {owned[0].c_str(), SECTION_TOO_LONG, 1},
      {"[common]\n", SECTION_UNDEFINED_SECTION, 1},
      {"[Common] x\n", LINE_NOT_ENDED, 1},
      {"max_size = 1\n", LINE_NOT_EXPECTED, 1},
      {"[File]\n= 1\n", KEY_MISSING_KEY, 2},
      {"[File]\n\"a\"\n", KEY_MISSING_KEY, 2},
      {owned[1].c_str(), KEY_TOO_LONG, 2},
      {"[File]\nmax_size 5\n", KEY_ILLEGAL_CHARACTER, 2},
      {"[File]\nmax.size = 5\n", KEY_ILLEGAL_CHARACTER, 2},
      {"[File]\nmax_size = +\n", VALUE_NUMERIC_MISSING_INTEGER_PART, 2},
      {"[File]\nmax_size = .5\n", VALUE_NUMERIC_MISSING_INTEGER_PART, 2},
      {"[File]\nmax_size = 1.\n", VALUE_NUMERIC_MISSING_FRACTIONAL_PART, 2},
      {"[File]\nmax_size =\n", VALUE_NUMERIC_MISSING_VALUE, 2},
      {"[File]\nmax_size = # none\n", VALUE_NUMERIC_MISSING_VALUE, 2},
      {"[File]\nmax_size = 0123\n", VALUE_NUMERIC_ILLEGAL_SYNTAX, 2},
      {"[File]\nmax_size = 12k\n", VALUE_NUMERIC_ILLEGAL_SYNTAX, 2},
      {"[File]\nmax_size = \"12\"\n", VALUE_NUMERIC_ILLEGAL_SYNTAX, 2},
      {"[File]\nblack_ext = tmp\n", VALUE_STRING_MISSING_LEFT_QUOTE, 2},
      {"[File]\nblack_ext =\n", VALUE_STRING_MISSING_LEFT_QUOTE, 2},
      {"[File]\nblack_ext = \"tmp\n", VALUE_STRING_MISSING_RIGHT_QUOTE, 2},
      {"[File]\nblack_ext = \"tmp\\\n", VALUE_STRING_MISSING_RIGHT_QUOTE, 2},
      {"[File]\nblack_ext = \"t\\qp\"\n", VALUE_STRING_ILLEGAL_CHARACTER, 2},
      {"[File]\nblack_ext = \"t\\x4\"\n", VALUE_STRING_ILLEGAL_CHARACTER, 2},
      {"[File]\nblack_ext = \"t\\x4g\"\n", VALUE_STRING_ILLEGAL_CHARACTER, 2},
      {"[File]\nblack_ext = \"t\\477\"\n", VALUE_STRING_ILLEGAL_CHARACTER, 2},
      {"[File]\nblack_ext = \"t\\08\"\n", VALUE_STRING_ILLEGAL_CHARACTER, 2},
      {"[File]\nblack_ext = \"t\\x00\"\n", VALUE_STRING_ILLEGAL_CHARACTER, 2},
      {"[File]\nblack_ext = \"t\\000\"\n", VALUE_STRING_ILLEGAL_CHARACTER, 2},
      {"[File]\nblack_ext = \"a\tb\"\n", VALUE_STRING_ILLEGAL_CHARACTER, 2},
      {"[File]\nblack_ext = \"a\x7f\"\n", VALUE_STRING_ILLEGAL_CHARACTER, 2},
      {"[File]\nblack_ext = \"\"\n", VALUE_STRING_EMPTY, 2},
      {"[File]\nblack_ext = \"a\" \"b\"\n", VALUE_SET_MISSING_SEPARATER, 2},
      {"[File]\nblack_ext = \"a\", b\n", VALUE_STRING_MISSING_LEFT_QUOTE, 2},
      {owned[3].c_str(), VALUE_TOO_LONG, 2},
      {owned[4].c_str(), VALUE_TOO_LONG, 2},
      {"[File]\nmax_size = 18446744073709551616\n", VALUE_TOO_LONG, 2},
      {"[File]\nmax_size = -1\n", VALUE_TOO_LONG, 2},
      {"[Version]\nmajor = 2147483648\n", VALUE_TOO_LONG, 2},
      {"[File]\nblack_char = \"x\" y\n", LINE_NOT_ENDED, 2},
      {"[File]\nblack_char = \"x\", \"y\"\n", LINE_NOT_ENDED, 2},
      {"[File]\nmax_size = 5 6\n", LINE_NOT_ENDED, 2},
      {"[File]\nblack_ext = \"a\",\n\n# c\nmax_size = 1\n", LINE_NOT_EXPECTED, 5},
      {"[File]\nblack_ext = \"a\",\n[Common]\n", LINE_NOT_EXPECTED, 3},
      {owned[5].c_str(), LINE_NOT_ENDED, 2},
  };
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.text);
    filter_destroy(&filter_);
    EXPECT_EQ(PARSE_FAILED, Parse(c.text));
    EXPECT_EQ(c.code, error_.code) << parser_error_name(error_.code);
    EXPECT_EQ(c.line, error_.line);
  }
  filter_destroy(&filter_);
  EXPECT_EQ(PARSE_UNKNOWN_KEYS, Parse(owned[2]));
}

TEST_F(ParserTest, PrintsErrorNameAndLineOnStandardError) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(PARSE_FAILED, Parse("[Version]\nmajor = 1\n[File]\nmax_size = 0123\n"));
  EXPECT_EQ("parser: VALUE_NUMERIC_ILLEGAL_SYNTAX at line 4\n",
            ::testing::internal::GetCapturedStderr());
  // The values read before the error stay in the record.
  EXPECT_EQ(1, filter_.version.major);
}

TEST_F(ParserTest, ErrorNamesCoverEveryCode) {
  EXPECT_STREQ("NO_ERROR", parser_error_name(0));
  EXPECT_STREQ("VALUE_SET_MISSING_SEPARATER", parser_error_name(-22));
  EXPECT_STREQ("INTERNAL_ERROR", parser_error_name(-26));
  EXPECT_STREQ("Unknown error", parser_error_name(-27));
  EXPECT_STREQ("Unknown error", parser_error_name(3));
}

TEST_F(ParserTest, ReadsNumbersStringsAndSets) {
  const std::string text =
      "  # leading comment\r\n"
      "\n"
      "[Version]   # trailing comment\r\n"
      "major = 1\r\n"
      "minor = -0\n"
      "[Common]\n"
      "max_length = 255.75\n"
      "max_path = +4096 # bytes\n"
      "black_char = \"\\\\:*?\"\n"
      "black_name = \"Thumbs.db\" , \"desktop.ini\",\n"
      "\n"
      "   # a comment between the lines of one set\n"
      "    \"a\\x41\\101\\t\\a\\b\\f\\n\\r\\v\\'\\\"\\?\"\n"
      "[File]\n"
      "max_size = 0\n"
      "max_size_selective_sync = 18446744073709551615\n"
      "black_ext = \"tmp\"\n"
      "black_ext = \"tmp\", \"\xe6\x96\x87\"\n";
  ASSERT_EQ(PARSE_OK, Parse(text));
  EXPECT_EQ(1, filter_.version.major);
  EXPECT_EQ(0, filter_.version.minor);
  EXPECT_EQ(255u, filter_.common.max_length);
  EXPECT_EQ(4096u, filter_.common.max_path);
  EXPECT_STREQ("\\:*?", filter_.common.black_char.str);
  EXPECT_EQ((std::vector<std::string>{"Thumbs.db", "desktop.ini",
                                      "aAA\t\a\b\f\n\r\v'\"?"}),
            Entries(filter_.common.black_name));
  EXPECT_EQ(0u, filter_.file.max_size);
  EXPECT_EQ(18446744073709551615u, filter_.file.max_size_selective_sync);
  // A set given twice collects both lines, duplicates included.
  EXPECT_EQ((std::vector<std::string>{"tmp", "tmp", "\xe6\x96\x87"}), Entries(filter_.file.black_ext));
}

TEST_F(ParserTest, LaterValueOfANumberOrStringWins) {
  ASSERT_EQ(PARSE_OK, Parse("[File]\nmax_size = 5\nblack_char = \"a\"\n"
                            "[Common]\n[File]\nmax_size = 7\nblack_char = \"b\"\n"));
  EXPECT_EQ(7u, filter_.file.max_size);
  EXPECT_STREQ("b", filter_.file.black_char.str);
}

TEST_F(ParserTest, StringOfExactlyTheLimitIsAccepted) {
  const std::string value(kParserMaxString, 'y');
  ASSERT_EQ(PARSE_OK, Parse("[File]\nblack_char = \"" + value + "\"\n"));
  EXPECT_EQ(value, filter_.file.black_char.str);
}

TEST_F(ParserTest, LineOfExactlyTheLimitIsAccepted) {
  std::string line = "black_name = \"" + std::string(500, 'a') + "\", \"";
  line += std::string(kParserMaxLine - line.size() - 1, 'b') + "\"";
  ASSERT_EQ(kParserMaxLine, line.size());
  EXPECT_EQ(PARSE_OK, Parse("[Common]\n" + line + "\r\n"));
  EXPECT_EQ(2u, filter_.common.black_name.used);
  filter_destroy(&filter_);
  EXPECT_EQ(PARSE_FAILED, Parse("[Common]\n" + line + " \n"));
  EXPECT_EQ(LINE_NOT_ENDED, error_.code);
}

TEST_F(ParserTest, UnknownKeyWarnsAndSkipsItsValueIncludingContinuation) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(PARSE_UNKNOWN_KEYS, Parse("[File]\nnew_rule = \"a\",\n  \"b\"\nother = 12 and more\n"
                                      "max_size = 3\n"));
  EXPECT_EQ("warning: unknown key (new_rule)\nwarning: unknown key (other)\n",
            ::testing::internal::GetCapturedStdout());
  EXPECT_EQ(3u, filter_.file.max_size);
}

TEST_F(ParserTest, TrailingCommaAtEndOfFileEndsTheSet) {
  EXPECT_EQ(PARSE_OK, Parse("[File]\nblack_ext = \"a\","));
  EXPECT_EQ(1u, filter_.file.black_ext.used);
}

TEST_F(ParserTest, ReadsFromFileAndFailsForMissingFile) {
  testing::TempDir dir;
  dir.WriteFile("blacklist.filter", "[File]\nblack_ext = \"tmp\"\n");
  ParseErrorInfo error;
  EXPECT_EQ(PARSE_OK, parse(dir.Join("blacklist.filter").c_str(), &kFilterSchema, &filter_, &error));
  EXPECT_EQ(1u, filter_.file.black_ext.used);
  EXPECT_EQ(PARSE_FAILED, parse(dir.Join("missing.filter").c_str(), &kFilterSchema, &filter_));
}

TEST_F(ParserTest, LongFileIsReadAcrossBufferBoundaries) {
  testing::TempDir dir;
  std::string text = "[File]\n";
  for (int i = 0; i < 2000; ++i) text += "black_name = \"name" + std::to_string(i) + "\",\n  \"x\"\n";
  text += "max_size = 01\n";  // the error names a line far beyond the first read
  dir.WriteFile("big.filter", text);
  ParseErrorInfo error;
  EXPECT_EQ(PARSE_FAILED, parse(dir.Join("big.filter").c_str(), &kFilterSchema, &filter_, &error));
  EXPECT_EQ(VALUE_NUMERIC_ILLEGAL_SYNTAX, error.code);
  EXPECT_EQ(4002, error.line);
  EXPECT_EQ(4000u, filter_.file.black_name.used);
}

}  // namespace
}  // namespace tidewell
