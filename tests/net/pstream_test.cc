#include "net/pstream.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "net/memory_channel.h"
#include "net_test_util.h"

namespace tidewell {
namespace {

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s.push_back(static_cast<char>(v));
  return s;
}

std::string Encode(const PObject& obj) {
  MemoryChannel ch;
  PStream ps;
  EXPECT_EQ(0, ps.Send(ch, obj));
  return ch.output();
}

// Decodes `wire` into `obj`; returns the result.
int Decode(const std::string& wire, PObject& obj, size_t chunk = SIZE_MAX) {
  MemoryChannel ch(wire, chunk);
  PStream ps;
  return ps.Recv(ch, obj);
}

TEST(PStreamTest, IntegersUseTheShortestWidth) {
  EXPECT_EQ(Bytes({0x01, 0x01, 0x00}), Encode(PObject(0)));
  EXPECT_EQ(Bytes({0x01, 0x01, 0xFF}), Encode(PObject(255)));
  EXPECT_EQ(Bytes({0x01, 0x02, 0x01, 0x00}), Encode(PObject(256)));
  EXPECT_EQ(Bytes({0x01, 0x02, 0xFF, 0xFF}), Encode(PObject(65535)));
  EXPECT_EQ(Bytes({0x01, 0x04, 0x00, 0x01, 0x00, 0x00}), Encode(PObject(65536)));
  EXPECT_EQ(Bytes({0x01, 0x08, 0, 0, 0, 1, 0, 0, 0, 0}), Encode(PObject(uint64_t{1} << 32)));
  EXPECT_EQ(Bytes({0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), Encode(PObject(-1)));
}

TEST(PStreamTest, EmptyValues) {
  EXPECT_EQ(Bytes({0x10, 0x00, 0x00}), Encode(PObject("")));
  EXPECT_EQ(Bytes({0x00, 0x00}), Encode(PObject()));
  EXPECT_EQ(Bytes({0x42, 0x40}), Encode(PObject(PObject::map_type{})));
  EXPECT_EQ(Bytes({0x41, 0x40}), Encode(PObject(PObject::array_type{})));
}

TEST(PStreamTest, UnderscoreKeysTravelWithoutIt) {
  PObject req;
  req["_action"] = "x";
  EXPECT_EQ(Bytes({0x42, 0x10, 0, 6, 'a', 'c', 't', 'i', 'o', 'n', 0x10, 0, 1, 'x', 0x40}), Encode(req));
  PObject got;
  ASSERT_EQ(0, Decode(Encode(req), got));
  PObject want;
  want["action"] = "x";
  EXPECT_EQ(want, got);
}

TEST(PStreamTest, IntegerByteCountsFromZeroToEight) {
  PObject v;
  ASSERT_EQ(0, Decode(Bytes({0x01, 0x00}), v));
  EXPECT_EQ(0u, v.asInteger());
  ASSERT_EQ(0, Decode(Bytes({0x01, 0x03, 0x01, 0x02, 0x03}), v));
  EXPECT_EQ(0x010203u, v.asInteger());
  EXPECT_EQ(kStreamMalformed, Decode(Bytes({0x01, 0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9}), v));
  EXPECT_EQ(kStreamMalformed, Decode(Bytes({0x01, 0xFF}), v));
}

// Random value trees survive a round trip, also through a channel that
// hands out one byte at a time.
PObject RandomValue(std::mt19937_64& rng, int depth) {
  int kind = static_cast<int>(rng() % (depth > 4 ? 3 : 5));
  switch (kind) {
    case 0:
      return PObject();
    case 1: {
      int shift = static_cast<int>(rng() % 64);
      return PObject(static_cast<unsigned long long>(rng() >> shift));
    }
    case 2:
      return PObject(ustring(testing::RandomBytes(rng, rng() % 40)));
    case 3: {
      PObject a(PObject::array_type{});
      for (size_t n = rng() % 6; n > 0; --n) a.asArray().push_back(RandomValue(rng, depth + 1));
      return a;
    }
    default: {
      PObject m(PObject::map_type{});
      for (size_t n = rng() % 6; n > 0; --n) {
        std::string key = testing::RandomBytes(rng, rng() % 8);
        if (!key.empty() && key[0] == '_') key[0] = 'u';  // underscores are dropped on the wire
        m[ustring(key)] = RandomValue(rng, depth + 1);
      }
      return m;
    }
  }
}

TEST(PStreamTest, RandomValuesRoundTrip) {
  std::mt19937_64 rng(testing::TestSeed());
  for (int i = 0; i < 300; ++i) {
    PObject v = RandomValue(rng, 0);
    std::string wire = Encode(v);
    PObject got;
    ASSERT_EQ(0, Decode(wire, got, i % 3 == 0 ? 1 : SIZE_MAX)) << v.toString();
    ASSERT_EQ(v, got) << v.toString();
  }
}

TEST(PStreamTest, DecodingReusesTheTarget) {
  PObject target;
  target["keep"] = 1;
  target["list"].asArray().push_back(PObject("old"));
  target["n"] = "was a string";

  PObject update;
  update["list"].asArray().push_back(PObject("new"));
  update["n"] = 5;
  ASSERT_EQ(0, Decode(Encode(update), target));

  EXPECT_EQ(1u, target["keep"].asInteger()) << "map entries are merged in";
  ASSERT_EQ(2u, target["list"].size()) << "array elements are appended";
  EXPECT_EQ("old", std::as_const(target)["list"][0].asString());
  EXPECT_EQ("new", std::as_const(target)["list"][1].asString());
  EXPECT_EQ(5u, target["n"].asInteger()) << "another type replaces the value";

  ASSERT_EQ(0, Decode(Bytes({0x00, 0x00}), target));
  EXPECT_TRUE(target.isNull());
}

TEST(PStreamTest, RepeatedKeyEndsWithTheSecondValue) {
  std::string wire = Bytes({0x42, 0x10, 0, 1, 'k', 0x10, 0, 1, 'a', 0x10, 0, 1, 'k', 0x10, 0, 2, 'b', 'c', 0x40});
  PObject v;
  ASSERT_EQ(0, Decode(wire, v));
  EXPECT_EQ(1u, v.size());
  EXPECT_EQ("bc", v["k"].asString());
}

TEST(PStreamTest, MalformedInputFailsWithoutCrashing) {
  PObject v;
  EXPECT_EQ(kStreamMalformed, Decode(Bytes({0x00, 0x01}), v)) << "null with a payload";
  EXPECT_EQ(kStreamMalformed, Decode(Bytes({0x77}), v)) << "unknown tag";
  EXPECT_EQ(kStreamMalformed, Decode(Bytes({0x40}), v)) << "end tag outside a container";
  EXPECT_EQ(kStreamMalformed, Decode(Bytes({0x42, 0x01, 0x01, 0x05, 0x00, 0x00, 0x40}), v)) << "integer key";
  EXPECT_EQ(kStreamChannel, Decode(Bytes({0x10, 0x00, 0x05, 'a', 'b'}), v)) << "truncated string";
  EXPECT_EQ(kStreamChannel, Decode(Bytes({0x41, 0x00, 0x00}), v)) << "array without end";
  EXPECT_EQ(kStreamChannel, Decode("", v));
  PStream ps;
  MemoryChannel ch;
  EXPECT_EQ(kStreamMalformed, ps.Skip(ch, 0x01));
}

TEST(PStreamTest, NestingIsLimited) {
  auto nested = [](int levels) {
    return std::string(levels, '\x41') + std::string(levels, '\x40');
  };
  PObject v;
  EXPECT_EQ(0, Decode(nested(PStream::kMaxDepth), v));
  EXPECT_EQ(kStreamMalformed, Decode(nested(PStream::kMaxDepth + 1), v));
  auto nested_maps = [](int levels) {
    std::string s;
    for (int i = 0; i < levels; ++i) s += std::string("\x42\x10\x00\x01k", 5);
    return s + std::string("\x00\x00", 2) + std::string(levels, '\x40');
  };
  EXPECT_EQ(0, Decode(nested_maps(PStream::kMaxDepth), v));
  EXPECT_EQ(kStreamMalformed, Decode(nested_maps(PStream::kMaxDepth + 1), v)) << "maps too";
  // A deep input that is cut short must also fail cleanly.
  EXPECT_EQ(kStreamMalformed, Decode(std::string(100000, '\x41'), v));
}

TEST(PStreamTest, ValuesPerMessageAreLimited) {
  std::string wire = "\x41" + std::string(2 * 1000, '\0') + "\x40";
  MemoryChannel ch(wire);
  PStream ps;
  ps.SetValueLimit(500);
  PObject v;
  EXPECT_EQ(kStreamMalformed, ps.Recv(ch, v));
  MemoryChannel again(wire);
  ps.SetValueLimit(1001);
  PObject w;
  EXPECT_EQ(0, ps.Recv(again, w)) << "the count starts again with each message";
  EXPECT_EQ(1000u, w.size());
}

TEST(PStreamTest, OverlongStringsAreRefusedBeforeAnythingIsSent) {
  PObject req;
  req["a"] = "fine";
  req["z"] = ustring(std::string(65536, 'x'));
  MemoryChannel ch;
  PStream ps;
  EXPECT_EQ(kStreamInput, ps.Send(ch, req));
  EXPECT_EQ("", ch.output());
  EXPECT_EQ(kStreamInput, ps.SendString(ch, ustring(std::string(70000, 'y'))));

  PObject key;
  key[ustring(std::string(65536, 'k'))] = 1;
  EXPECT_EQ(kStreamInput, ps.Send(ch, key));
  PObject underscored;  // the underscore does not travel, so this one fits
  underscored[ustring("_" + std::string(65535, 'k'))] = 1;
  EXPECT_EQ(0, ps.Send(ch, underscored));

  PObject longest(ustring(std::string(65535, 's')));
  std::string wire = Encode(longest);
  PObject got;
  ASSERT_EQ(0, Decode(wire, got));
  EXPECT_EQ(longest, got);
}

TEST(PStreamTest, StatusAndHistoryAreClearedAfterEachMessage) {
  PStream ps;
  MemoryChannel ch(Bytes({0x42, 0x10, 0, 1, 'a', 0x42, 0x10, 0, 1, 'b', 0x77}));
  PObject v;
  EXPECT_EQ(kStreamMalformed, ps.Recv(ch, v));
  EXPECT_EQ("", ps.GetHistory());
  EXPECT_TRUE(v["a"].isMap()) << "decoding stops where it failed";
  ustring item;
  uint64_t sent = 1, total = 1;
  ps.GetStatus(item, sent, total);
  EXPECT_EQ(0u, sent);
  EXPECT_EQ(0u, total);
  int major, minor, mini;
  PStream::GetVersion(major, minor, mini);
  EXPECT_EQ(1, major);
  EXPECT_EQ(0, minor + mini);
  static_assert(PStream::GetTag<PObject::map_type>() == 0x42);
  static_assert(PStream::GetType<ustring>() == PObject::kString);
}

}  // namespace
}  // namespace tidewell
