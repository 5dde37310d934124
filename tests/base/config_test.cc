#include "base/config.h"

#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "common/temp_dir.h"

namespace tidewell {
namespace {

// Parses one line; returns "error", "ignored" or "key=[value]".
std::string Parse(const std::string& line) {
  std::string key, value;
  const int r = ParseConfigLine(line.c_str(), key, value);
  if (r < 0) return "error";
  if (r == 0) return "ignored";
  return key + "=[" + value + "]";
}

TEST(ConfigLineTest, KeysValuesAndComments) {
  EXPECT_EQ("db_path=[/tmp/x]", Parse("db_path = /tmp/x\n"));
  EXPECT_EQ("db_path=[/tmp/x]", Parse("  \tdb_path=/tmp/x"));
  EXPECT_EQ("ui_port=[2000]", Parse("ui_port = 2000 # the port\n"));
  EXPECT_EQ("Key-2_x=[v]", Parse("Key-2_x = v\r\n")) << "CR LF line ends";
  EXPECT_EQ("k=[a#b]", Parse("k = a#b\n")) << "an unquoted value runs to a blank";
  EXPECT_EQ("k=[#v]", Parse("k = #v\n"));
  EXPECT_EQ("k=[p\xc3\xa4th]", Parse("k = p\xc3\xa4th\n"));
  EXPECT_EQ("=[v]", Parse("= v\n")) << "the key may be empty";
}

TEST(ConfigLineTest, QuotedValues) {
  EXPECT_EQ("log_file_path=[/var/log/my log]", Parse("log_file_path = \"/var/log/my log\"\n"));
  EXPECT_EQ("k=[a \"b\" # c]", Parse("k = 'a \"b\" # c'  # comment\n"));
  EXPECT_EQ("session=[]", Parse("session = \"\"\n"));
  EXPECT_EQ("error", Parse("k = \"open\n"));
  EXPECT_EQ("error", Parse("k = \"broken\tby tab\"\n"));
  EXPECT_EQ("error", Parse("k = \"del\x7f\"\n"));
  EXPECT_EQ("error", Parse("k = \"mixed'\n"));
  EXPECT_EQ("error", Parse("k = \"v\"x\n"));
}

TEST(ConfigLineTest, IgnoredAndMalformedLines) {
  EXPECT_EQ("ignored", Parse(""));
  EXPECT_EQ("ignored", Parse("\n"));
  EXPECT_EQ("ignored", Parse(" \t \r\n"));
  EXPECT_EQ("ignored", Parse("# comment = x\n"));
  EXPECT_EQ("ignored", Parse("key#comment = x\n"));
  // The newline is white space: a key alone on a line reaches the "="
  // test and fails, while a last line without newline ends right after it.
  EXPECT_EQ("error", Parse("key\n"));
  EXPECT_EQ("ignored", Parse("key"));
  EXPECT_EQ("error", Parse("key value\n"));
  EXPECT_EQ("error", Parse("key =\n"));
  EXPECT_EQ("error", Parse("key = "));
  EXPECT_EQ("error", Parse("key = 1 2\n"));
  EXPECT_EQ("error", Parse("k\xc3\xa9y = 1\n"));
  EXPECT_EQ("error", Parse("key = a\x01\n"));
  EXPECT_EQ("error", Parse("key : 1\n"));
}

class ConfigFileTest : public ::testing::Test {
 protected:
  ustring Write(const std::string& content) {
    dir_.WriteFile("conf", content);
    return ustring(dir_.Join("conf"));
  }
  testing::TempDir dir_;
};

TEST_F(ConfigFileTest, ReadsEveryPairAndTheLastOccurrenceWins) {
  Config c;
  ASSERT_EQ(0, c.read(Write("# settings\n\ndb_path = /a\nworker_count = 5\ndb_path = /b\nlast = x")));
  EXPECT_EQ(3u, c.entries().size());
  EXPECT_STREQ("/b", c["db_path"].c_str_utf8());
  EXPECT_STREQ("x", c["last"].c_str_utf8());
  EXPECT_EQ(5, c.get_int("worker_count"));
  EXPECT_EQ(0, c.get_int("missing"));
  EXPECT_EQ(1u, c.entries().count("missing")) << "lookups insert missing keys";
  EXPECT_STREQ("", c["Db_path"].c_str_utf8()) << "keys are case-sensitive";
}

TEST_F(ConfigFileTest, AnyMalformedLineDiscardsTheWholeFile) {
  Config c;
  ASSERT_EQ(0, c.read(Write("a = 1\n")));
  EXPECT_EQ(-1, c.read(Write("a = 1\nb = 2\nbroken\nc = 3\n")));
  EXPECT_TRUE(c.entries().empty());
}

TEST_F(ConfigFileTest, MissingEmptyPathAndDirectoryFail) {
  Config c;
  EXPECT_EQ(-1, c.read(""));
  EXPECT_EQ(-1, c.read(ustring(dir_.Join("absent"))));
  EXPECT_EQ(-1, c.read(ustring(dir_.path())));
  EXPECT_EQ(0, c.read(Write("")));
  EXPECT_TRUE(c.entries().empty());
}

TEST_F(ConfigFileTest, OverlongLinesAreRefused) {
  Config c;
  // 8191 bytes before the newline is the longest line accepted.
  const std::string fits = "k = " + std::string(8191 - 4, 'v');
  ASSERT_EQ(0, c.read(Write(fits + "\nz = 1\n")));
  EXPECT_EQ(8187u, c["k"].length());
  // One byte more is refused, even where the tail would parse as a line:
  // here the tail of a comment reads "evil = 1".
  const std::string comment = "#" + std::string(8191, 'c') + "evil = 1\n";
  EXPECT_EQ(-1, c.read(Write(comment)));
  EXPECT_EQ(-1, c.read(Write("k = " + std::string(9000, 'v') + "\n")));
}

TEST(ConfigIntTest, StreamExtractionRules) {
  EXPECT_EQ(2000, ConfigValueToInt("2000"));
  EXPECT_EQ(-7, ConfigValueToInt("  -7"));
  EXPECT_EQ(12, ConfigValueToInt("+12abc"));
  EXPECT_EQ(8, ConfigValueToInt("08"));
  EXPECT_EQ(0, ConfigValueToInt("three"));
  EXPECT_EQ(0, ConfigValueToInt(""));
  EXPECT_EQ(0, ConfigValueToInt("0x10"));
  EXPECT_EQ(INT_MAX, ConfigValueToInt("99999999999"));
}

}  // namespace
}  // namespace tidewell
