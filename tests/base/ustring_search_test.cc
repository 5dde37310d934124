#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "base/ustring.h"
#include "common/random.h"

namespace tidewell {
namespace {

constexpr ustring::size_type npos = ustring::npos;

ustring::size_type Narrow(size_t p) { return p == std::string::npos ? npos : static_cast<ustring::size_type>(p); }

TEST(UstringSearchTest, EdgeCasesOfStartPositionsAndEmptyNeedles) {
  const ustring s("abcde");
  EXPECT_EQ(3u, s.find("", 3));
  EXPECT_EQ(npos, s.find("e", 5));
  EXPECT_EQ(npos, s.find("", 5));
  EXPECT_EQ(npos, s.find_first_of(""));
  EXPECT_EQ(2u, s.find_first_not_of("", 2));
  EXPECT_EQ(npos, s.find_first_of('\0'));
  EXPECT_EQ(npos, s.find('\0'));
  EXPECT_EQ(4u, s.rfind(""));
  EXPECT_EQ(2u, s.rfind("", 2));
  EXPECT_EQ(4u, s.find_last_not_of(""));
  EXPECT_EQ(npos, s.find_last_of(""));
  EXPECT_EQ(3u, ustring("abcbc").rfind("bc"));
  EXPECT_EQ(1u, ustring("abcbc").rfind("bc", 2));
  EXPECT_EQ(1u, ustring("abcbc").rfind("bcb", 1)) << "a match may run past the start";
  EXPECT_EQ(0u, ustring("a//").find_last_not_of("/"));
  EXPECT_EQ(0u, ustring("a//").find_last_not_of('/'));
  EXPECT_EQ(npos, ustring("///").find_last_not_of(ustring("/")));

  const ustring empty;
  EXPECT_EQ(npos, empty.find(""));
  EXPECT_EQ(npos, empty.rfind(""));
  EXPECT_EQ(npos, empty.find_first_not_of(""));
  EXPECT_EQ(npos, empty.find_last_not_of(""));

  // Positions are UTF-8 bytes.
  const ustring utf8("\xc3\xa9/x");
  EXPECT_EQ(2u, utf8.find('/'));
  EXPECT_EQ(1u, utf8.find_first_of(std::string("\xa9")));
  EXPECT_EQ(3u, utf8.rfind("x", npos));
  EXPECT_EQ(npos, utf8.find("x", npos));
}

TEST(UstringSearchTest, NulBytesAreNeverSetMembers) {
  const ustring s(std::string("a\0b", 3));
  EXPECT_EQ(npos, s.find_first_of(std::string("\0", 1)));
  EXPECT_EQ(1u, s.find_first_not_of(std::string("a\0", 2)));
  EXPECT_EQ(1u, s.find(std::string("\0b", 2))) << "as a needle a NUL is an ordinary byte";
}

// The search family against std::string. The ustring rules differ from
// std::string only in find (a start at or past the end finds nothing, even
// for an empty needle) and rfind (the start is clamped to the last byte, and
// an empty string finds nothing); the model applies those rules.
class SearchModel {
 public:
  explicit SearchModel(const std::string& hay) : hay_(hay) {}

  size_t find(const std::string& s, size_t pos) const {
    return pos >= hay_.size() ? std::string::npos : hay_.find(s, pos);
  }
  size_t rfind(const std::string& s, size_t pos) const {
    return hay_.empty() ? std::string::npos : hay_.rfind(s, std::min(pos, hay_.size() - 1));
  }

 private:
  const std::string& hay_;
};

std::string RandomText(std::mt19937_64& rng, size_t max_len) {
  static const char kAlphabet[] = {'a', 'b', '/', ' ', '\xc3', '\xa9', '\xff'};
  std::uniform_int_distribution<size_t> len(0, max_len);
  std::uniform_int_distribution<size_t> pick(0, sizeof(kAlphabet) - 1);
  std::string out(len(rng), ' ');
  for (char& c : out) c = kAlphabet[pick(rng)];
  return out;
}

TEST(UstringSearchTest, RandomisedAgainstStdString) {
  const uint64_t seed = testing::TestSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);

  for (int round = 0; round < 3000; ++round) {
    const std::string hay = RandomText(rng, 12);
    const std::string needle = RandomText(rng, 3);
    const ustring u(hay);
    const ustring un(needle);
    const SearchModel model(hay);
    std::uniform_int_distribution<size_t> pos_pick(0, hay.size() + 2);
    size_t pos = pos_pick(rng);
    if (round % 7 == 0) pos = std::string::npos;
    const auto upos = static_cast<ustring::size_type>(pos);
    SCOPED_TRACE("hay '" + hay + "' needle '" + needle + "' pos " + std::to_string(pos));

    const ustring::size_type want_find = Narrow(model.find(needle, pos));
    EXPECT_EQ(want_find, u.find(needle, upos));
    EXPECT_EQ(want_find, u.find(un, upos));
    EXPECT_EQ(want_find, u.find(needle.c_str(), upos));
    const ustring::size_type want_rfind = Narrow(model.rfind(needle, pos));
    EXPECT_EQ(want_rfind, u.rfind(needle, upos));
    EXPECT_EQ(want_rfind, u.rfind(un, upos));
    EXPECT_EQ(want_rfind, u.rfind(needle.c_str(), upos));

    // With NUL-free texts the set searches follow std::string exactly.
    const ustring::size_type ffo = Narrow(hay.find_first_of(needle, pos));
    const ustring::size_type ffn = Narrow(hay.find_first_not_of(needle, pos));
    const ustring::size_type flo = Narrow(hay.find_last_of(needle, pos));
    const ustring::size_type fln = Narrow(hay.find_last_not_of(needle, pos));
    EXPECT_EQ(ffo, u.find_first_of(needle, upos));
    EXPECT_EQ(ffo, u.find_first_of(un, upos));
    EXPECT_EQ(ffo, u.find_first_of(needle.c_str(), upos));
    EXPECT_EQ(ffn, u.find_first_not_of(needle, upos));
    EXPECT_EQ(ffn, u.find_first_not_of(un, upos));
    EXPECT_EQ(ffn, u.find_first_not_of(needle.c_str(), upos));
    EXPECT_EQ(flo, u.find_last_of(needle, upos));
    EXPECT_EQ(flo, u.find_last_of(un, upos));
    EXPECT_EQ(flo, u.find_last_of(needle.c_str(), upos));
    EXPECT_EQ(fln, u.find_last_not_of(needle, upos));
    EXPECT_EQ(fln, u.find_last_not_of(un, upos));
    EXPECT_EQ(fln, u.find_last_not_of(needle.c_str(), upos));

    if (!needle.empty()) {
      const char ch = needle[0];
      const std::string one(1, ch);
      EXPECT_EQ(Narrow(model.find(one, pos)), u.find(ch, upos));
      EXPECT_EQ(Narrow(model.rfind(one, pos)), u.rfind(ch, upos));
      EXPECT_EQ(Narrow(hay.find_first_of(ch, pos)), u.find_first_of(ch, upos));
      EXPECT_EQ(Narrow(hay.find_first_not_of(ch, pos)), u.find_first_not_of(ch, upos));
      EXPECT_EQ(Narrow(hay.find_last_of(ch, pos)), u.find_last_of(ch, upos));
      EXPECT_EQ(Narrow(hay.find_last_not_of(ch, pos)), u.find_last_not_of(ch, upos));
    }
    if (::testing::Test::HasFailure()) break;  // one replayable failure is enough
  }
}

// Comparison against a byte loop, on long texts that share prefixes.
TEST(UstringSearchTest, RandomisedCompare) {
  const uint64_t seed = testing::TestSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 3000; ++round) {
    const std::string base = RandomText(rng, 40);
    std::string other = base.substr(0, std::uniform_int_distribution<size_t>(0, base.size())(rng));
    other += RandomText(rng, 3);
    if (round % 3 == 0) {
      for (char& c : other) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    }
    SCOPED_TRACE("'" + base + "' vs '" + other + "'");
    for (bool caseless : {false, true}) {
      int want = 0;
      for (size_t i = 0;; ++i) {
        auto at = [caseless](const std::string& s, size_t i) {
          int c = i < s.size() ? static_cast<unsigned char>(s[i]) : 0;
          return (caseless && c >= 'A' && c <= 'Z') ? c + 32 : c;
        };
        if (at(base, i) != at(other, i) || i >= base.size()) {
          want = at(base, i) - at(other, i);
          break;
        }
      }
      EXPECT_EQ(want, ustring::compare(ustring(base), ustring(other), caseless)) << caseless;
    }
    EXPECT_EQ(base < other, ustring(base) < ustring(other));
    EXPECT_EQ(base == other, ustring(base) == ustring(other));
    if (::testing::Test::HasFailure()) break;
  }
}

// Editing against std::string: trims and substr on random texts.
TEST(UstringSearchTest, RandomisedTrimsAndSubstr) {
  const uint64_t seed = testing::TestSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 2000; ++round) {
    const std::string text = RandomText(rng, 10);
    const std::string set = RandomText(rng, 3);
    SCOPED_TRACE("text '" + text + "' set '" + set + "'");
    std::string want = text;
    if (!set.empty()) {
      const size_t first = want.find_first_not_of(set);
      want = first == std::string::npos ? "" : want.substr(first);
      const size_t last = want.find_last_not_of(set);
      want = last == std::string::npos ? "" : want.substr(0, last + 1);
    }
    ustring got(text);
    got.trim(set.c_str());
    EXPECT_EQ(want, got.c_str_utf8());
    EXPECT_EQ(want.size(), got.length());

    std::uniform_int_distribution<size_t> pos_pick(0, text.size());
    const size_t pos = pos_pick(rng);
    const size_t n = pos_pick(rng);
    EXPECT_EQ(text.substr(pos, n), ustring(text).substr(static_cast<ustring::size_type>(pos),
                                                         static_cast<ustring::size_type>(n)).c_str_utf8());
    if (::testing::Test::HasFailure()) break;
  }
}

}  // namespace
}  // namespace tidewell
