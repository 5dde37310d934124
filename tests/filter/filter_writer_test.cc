#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "common/random.h"
#include "common/temp_dir.h"
#include "filter/filter.h"
#include "filter/parser.h"

namespace tidewell {
namespace {

void Add(value_type_string_set* set, const std::string& s) {
  ASSERT_EQ(0, value_type_string_set_insert(set, s.data(), s.size()));
}

void SetString(value_type_string* v, const std::string& s) {
  ASSERT_EQ(0, value_type_string_set_value(v, s.data(), s.size()));
}

std::vector<std::string> Entries(const value_type_string_set& set) {
  return std::vector<std::string>(set.set, set.set + set.used);
}

class FilterWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { filter_init(&filter_); }
  void TearDown() override { filter_destroy(&filter_); }

  testing::TempDir dir_;
  Filter filter_;
};

TEST_F(FilterWriterTest, WritesEverySectionInItsOrder) {
  filter_.version = {1, 2};
  SetString(&filter_.common.black_char, "\\\"$@`\t\r\x01\x7f\xc3\xa9?");
  for (int i = 1; i <= 6; ++i) Add(&filter_.file.black_ext, "e" + std::to_string(i));
  Add(&filter_.file.black_name, "core");
  filter_.file.max_size = 18446744073709551615u;
  Add(&filter_.ea.black_ea_name, "x");
  std::string text;
  ASSERT_EQ(0, filter_format(&filter_, &text));
  EXPECT_EQ(
      "[Version]\nmajor = 1\nminor = 2\n"
      "[Common]\nblack_char = \"\\\\\\\"\\x24\\x40\\x60\\t\\x0d\\x01\\x7f\\xc3\\xa9?\"\n"
      "max_length = 0\nmax_path = 0\n"
      "[File]\nblack_ext = \"e1\", \"e2\", \"e3\", \"e4\", \"e5\", \n\"e6\"\n"
      "black_name = \"core\"\n"
      "max_size = 18446744073709551615\nmax_size_selective_sync = 0\n"
      "[Directory]\n"
      "[EA]\nblack_ea_name = \"x\"\n"
      "\n",
      text);
}

TEST_F(FilterWriterTest, FiveEntriesNeedNoSecondLine) {
  for (int i = 1; i <= 5; ++i) Add(&filter_.directory.black_name, "d" + std::to_string(i));
  std::string text;
  ASSERT_EQ(0, filter_format(&filter_, &text));
  EXPECT_NE(std::string::npos,
            text.find("[Directory]\nblack_name = \"d1\", \"d2\", \"d3\", \"d4\", \"d5\"\n[EA]"));
}

TEST_F(FilterWriterTest, WriteThenReadGivesTheSameRecord) {
  filter_.version = {1, 0};
  SetString(&filter_.file.black_char, "\\/:*?\"<>|");
  for (int i = 0; i < 12; ++i) Add(&filter_.common.black_path_prefix_selective_sync, "/dir " + std::to_string(i));
  Add(&filter_.common.black_prefix, "~$");
  Add(&filter_.file.black_ext_selective_sync, "\xe6\x96\x87\xe4\xbb\xb6");
  filter_.common.max_length = 255;
  filter_.file.max_size_selective_sync = 100;
  const std::string path = dir_.Join("blacklist.filter");
  ASSERT_EQ(0, filter_write(&filter_, path.c_str()));

  Filter back;
  filter_init(&back);
  ASSERT_EQ(0, filter_read(&back, path.c_str()));
  EXPECT_STREQ(filter_.file.black_char.str, back.file.black_char.str);
  EXPECT_EQ(Entries(filter_.common.black_path_prefix_selective_sync),
            Entries(back.common.black_path_prefix_selective_sync));
  EXPECT_EQ(Entries(filter_.common.black_prefix), Entries(back.common.black_prefix));
  EXPECT_EQ(Entries(filter_.file.black_ext_selective_sync), Entries(back.file.black_ext_selective_sync));
  EXPECT_EQ(255u, back.common.max_length);
  EXPECT_EQ(100u, back.file.max_size_selective_sync);
  EXPECT_EQ(0, back.file.black_name.used);
  filter_destroy(&back);
}

TEST_F(FilterWriterTest, LongEscapedEntriesAreSplitOverLinesNotCut) {
  // Each entry quotes to 4 bytes per input byte: two fit no line together.
  const std::string wide(200, '\xe4');
  for (int i = 0; i < 3; ++i) Add(&filter_.common.black_path_prefix_selective_sync, "/" + wide + std::to_string(i));
  std::string text;
  ASSERT_EQ(0, filter_format(&filter_, &text));
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    ASSERT_NE(std::string::npos, end);
    EXPECT_LE(end - start, kParserMaxLine);
    start = end + 1;
  }
  Filter back;
  filter_init(&back);
  ASSERT_EQ(PARSE_OK, parse_buffer(text.data(), text.size(), &kFilterSchema, &back));
  EXPECT_EQ(Entries(filter_.common.black_path_prefix_selective_sync),
            Entries(back.common.black_path_prefix_selective_sync));
  filter_destroy(&back);
}

TEST_F(FilterWriterTest, UnwritableValueFailsAndKeepsTheOldFile) {
  const std::string path = dir_.Join("blacklist.filter");
  dir_.WriteFile("blacklist.filter", "[File]\nmax_size = 1\n");
  // 300 escaped bytes need 1200 bytes on one line; longer than the reader takes.
  Add(&filter_.file.black_name, std::string(300, '\x80'));
  EXPECT_EQ(-1, filter_write(&filter_, path.c_str()));
  EXPECT_EQ("[File]\nmax_size = 1\n", dir_.ReadFile("blacklist.filter"));
  filter_destroy(&filter_);
  Add(&filter_.file.black_name, std::string(513, 'a'));  // longer than a string may be
  std::string text;
  EXPECT_EQ(-1, filter_format(&filter_, &text));
}

TEST_F(FilterWriterTest, EmptyValuesAreLeftOut) {
  SetString(&filter_.common.black_char, "");
  Add(&filter_.common.black_name, "");
  Add(&filter_.common.black_name, "n");
  std::string text;
  ASSERT_EQ(0, filter_format(&filter_, &text));
  EXPECT_EQ(std::string::npos, text.find("black_char"));
  EXPECT_NE(std::string::npos, text.find("black_name = \"n\"\n"));
  Filter back;
  filter_init(&back);
  EXPECT_EQ(PARSE_OK, parse_buffer(text.data(), text.size(), &kFilterSchema, &back));
  filter_destroy(&back);
}

TEST_F(FilterWriterTest, CannotCreateFile) {
  EXPECT_EQ(-1, filter_write(&filter_, dir_.Join("no/such/dir/f.filter").c_str()));
}

// Random records written and read back must equal the model they were built
// from: every byte value but NUL, lengths up to the reader's limit.
TEST_F(FilterWriterTest, RandomRecordsRoundTrip) {
  const uint64_t seed = testing::TestSeed();
  SCOPED_TRACE("seed=" + std::to_string(seed));
  std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
  auto random_string = [&]() {
    size_t len = 1 + rng() % (rng() % 8 == 0 ? kParserMaxString : 12);
    // Mostly printable text, sometimes bytes that must be escaped.
    bool binary = rng() % 4 == 0;
    std::string s;
    for (size_t i = 0; i < len; ++i) {
      s.push_back(static_cast<char>(binary ? 1 + rng() % 255 : 0x20 + rng() % 0x5f));
    }
    return s;
  };
  for (int round = 0; round < 200; ++round) {
    Filter f;
    filter_init(&f);
    std::vector<std::string> model;
    int n = rng() % 14;
    for (int i = 0; i < n; ++i) {
      model.push_back(random_string());
      Add(&f.directory.black_prefix, model.back());
    }
    std::string ch = random_string();
    SetString(&f.file.black_char, ch);
    f.file.max_size = (uint64_t{rng()} << 32) | rng();
    std::string text;
    int rc = filter_format(&f, &text);
    Filter back;
    filter_init(&back);
    if (rc == 0) {
      ASSERT_EQ(PARSE_OK, parse_buffer(text.data(), text.size(), &kFilterSchema, &back)) << text;
      EXPECT_EQ(model, Entries(back.directory.black_prefix));
      EXPECT_EQ(ch, back.file.black_char.str);
      EXPECT_EQ(f.file.max_size, back.file.max_size);
    } else {
      // Only a value too long for one line may refuse to be written.
      bool too_long = false;
      for (const std::string& s : model) too_long |= s.size() * 4 + 4 > kParserMaxLine - 16;
      too_long |= ch.size() * 4 + 16 > kParserMaxLine;
      EXPECT_TRUE(too_long);
    }
    filter_destroy(&back);
    filter_destroy(&f);
  }
}

}  // namespace
}  // namespace tidewell
