#include "net/pobject.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>

namespace tidewell {
namespace {

TEST(PObjectTest, ConstructionFromScalars) {
  EXPECT_EQ(1u, PObject(true).asInteger());
  EXPECT_EQ(0u, PObject(false).asInteger());
  EXPECT_EQ(0xFFFFFFFFFFFFFFFFull, PObject(-1).asInteger()) << "int is sign-extended";
  EXPECT_EQ(0xFFFFFFFFull, PObject(0xFFFFFFFFu).asInteger()) << "unsigned int is zero-extended";
  EXPECT_EQ(-5, PObject(int64_t{-5}).asInt64());
  EXPECT_EQ(uint64_t{1} << 40, PObject(uint64_t{1} << 40).asUInt64());
  EXPECT_EQ("x", PObject("x").asString());
  EXPECT_TRUE(PObject().isNull());

  PObject::binary_type b;
  b.path = "/tmp/f";
  b.offset = 3;
  b.length = 9;
  PObject bin(b);
  EXPECT_TRUE(bin.isBinary());
  EXPECT_TRUE(bin.isPrimitive());
  EXPECT_EQ(b, bin.asBinary());
}

TEST(PObjectTest, NarrowIntegerViewsTakeLowBits) {
  PObject v(0x1122334455667788ull);
  EXPECT_EQ(0x55667788u, v.asUInt32());
  EXPECT_EQ(0x7788u, v.asUInt16());
  EXPECT_EQ(0x88u, v.asUInt8());
  EXPECT_EQ(static_cast<int8_t>(0x88), v.asInt8());
  EXPECT_EQ(-1, PObject(-1).asInt32());
  EXPECT_EQ(0u, PObject("12").asUInt32()) << "a string is not an integer";
}

TEST(PObjectTest, AsStringAndToStringOfLargeInteger) {
  PObject v((uint64_t{1} << 32) + 1);
  EXPECT_EQ("1", v.asString()) << "asString shows the low 32 bits";
  EXPECT_EQ("4294967297", v.toString());
  EXPECT_EQ("4294967295", PObject(-1).asString());
  EXPECT_EQ("", PObject().asString());
}

TEST(PObjectTest, ToStringForms) {
  PObject obj;
  obj["b"] = 2;
  obj["a"].asArray().push_back(PObject("s"));
  obj["a"].asArray().push_back(PObject());
  PObject::binary_type b;
  b.offset = 1;
  b.length = 2;
  b.path = "/p";
  obj["c"] = b;
  EXPECT_EQ("{\"a\": [\"s\", null], \"b\": 2, \"c\": {offset: 1, length: 2, path: \"/p\"}}", obj.toString());
  EXPECT_EQ("[]", PObject(PObject::array_type{}).toString());
  EXPECT_EQ("{}", PObject(PObject::map_type{}).toString());
}

TEST(PObjectTest, EmptinessAndTruth) {
  EXPECT_TRUE(PObject().isEmpty());
  EXPECT_FALSE(PObject(0).isEmpty()) << "an integer is never empty";
  EXPECT_FALSE(PObject(0).asBool());
  EXPECT_TRUE(PObject(7).asBool());
  EXPECT_TRUE(PObject("").isEmpty());
  EXPECT_TRUE(PObject("x").asBool());
  EXPECT_TRUE(PObject(PObject::binary_type{}).isEmpty());
  EXPECT_TRUE(PObject(PObject::array_type{}).isEmpty());
  EXPECT_FALSE(PObject(PObject::array_type{PObject()}).isEmpty());
}

TEST(PObjectTest, ReadOnlyAccessorsNeverChangeTheObject) {
  const PObject text("hello");
  EXPECT_TRUE(text.asMap().empty());
  EXPECT_TRUE(text.asArray().empty());
  EXPECT_TRUE(text.asBinary().empty());
  EXPECT_TRUE(text["key"].isNull());
  EXPECT_TRUE(text[0].isNull());
  EXPECT_FALSE(text.hasMember("key"));
  EXPECT_TRUE(text.isString());
  EXPECT_EQ(&PObject::empty_object, &text["key"]);

  PObject map;
  map["b"] = 2;
  map["a"] = 1;
  const PObject& cmap = map;
  EXPECT_EQ(1u, cmap[0].asInteger()) << "position in key order";
  EXPECT_EQ(2u, cmap[1].asInteger());
  EXPECT_TRUE(cmap[2].isNull());
  EXPECT_TRUE(cmap["zz"].isNull());
  EXPECT_EQ(2u, cmap.size()) << "no entry was added by the lookups";
  EXPECT_TRUE(cmap.hasMember("a"));
}

TEST(PObjectTest, MutatingAccessorsConvert) {
  PObject v(5);
  v.asArray().push_back(PObject(1));
  EXPECT_TRUE(v.isArray());
  EXPECT_EQ(1u, v.size());
  v["k"] = "x";  // an array becomes a map
  EXPECT_TRUE(v.isMap());
  EXPECT_EQ(1u, v.size());
  PObject& fresh = v["new"];
  EXPECT_TRUE(fresh.isNull());
  EXPECT_EQ(2u, v.size());
  v.asBinary().path = "/x";
  EXPECT_TRUE(v.isBinary());
  EXPECT_EQ("/x", v.asBinary().path);
}

TEST(PObjectTest, MutableIndexThrowsOutsideAMap) {
  PObject map;
  map["a"] = 1;
  map[0] = 9;
  EXPECT_EQ(9u, map["a"].asInteger());
  try {
    map[1] = 2;
    FAIL() << "past the end must throw";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ("out_of_range: PObject::operator[]", e.what());
  }
  PObject array(PObject::array_type{PObject(1)});
  EXPECT_THROW(array[0], std::out_of_range);
}

TEST(PObjectTest, CopiesAreDeepAndMovesSteal) {
  PObject a;
  a["list"].asArray().push_back(PObject("one"));
  PObject b = a;
  b["list"].asArray().push_back(PObject("two"));
  EXPECT_EQ(1u, a["list"].size());
  EXPECT_EQ(2u, b["list"].size());
  EXPECT_FALSE(a == b);

  PObject c = std::move(b);
  EXPECT_TRUE(b.isNull());
  EXPECT_EQ(2u, c["list"].size());

  // Assigning a value that lives inside the target must not read freed memory.
  c = c["list"];
  EXPECT_TRUE(c.isArray());
  EXPECT_EQ("two", std::as_const(c)[1].asString());

  c.swap(a);
  EXPECT_TRUE(c.isMap());
  EXPECT_TRUE(a.isArray());
  a.clear();
  EXPECT_TRUE(a.isNull());
}

}  // namespace
}  // namespace tidewell
