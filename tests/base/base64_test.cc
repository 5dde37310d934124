#include "base/base64.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

#include "common/random.h"

namespace tidewell {
namespace {

std::string Enc(const std::string& s) { return SzBase64EncBuffer(s.data(), s.size()); }

// Decodes `text`; nullopt-like "!" marks a failure.
std::string Dec(const std::string& text, size_t capacity = 4096, size_t* produced = nullptr) {
  std::vector<unsigned char> out(capacity + 1);
  size_t len = capacity;
  bool ok = EncBase64Dec(text.data(), text.size(), out.data(), &len);
  if (produced) *produced = len;
  if (!ok) return "!";
  return std::string(reinterpret_cast<char*>(out.data()), len);
}

TEST(Base64Test, KnownVectors) {
  EXPECT_EQ("YWJj", Enc("abc"));
  EXPECT_EQ("YWI=", Enc("ab"));
  EXPECT_EQ("YQ==", Enc("a"));
  // RFC 4648, section 10.
  const char* rfc[][2] = {{"", ""},
                          {"f", "Zg=="},
                          {"fo", "Zm8="},
                          {"foo", "Zm9v"},
                          {"foob", "Zm9vYg=="},
                          {"fooba", "Zm9vYmE="},
                          {"foobar", "Zm9vYmFy"}};
  for (auto& v : rfc) {
    EXPECT_EQ(v[1], Enc(v[0])) << v[0];
    EXPECT_EQ(v[0], Dec(v[1])) << v[1];
  }
  EXPECT_EQ("+/+/", Enc("\xfb\xff\xbf"));
  EXPECT_EQ('A', CBase64Table(0));
  EXPECT_EQ('/', CBase64Table(63));
  EXPECT_EQ('A', CBase64Table(64));  // only the low six bits count
}

TEST(Base64Test, OneLineStopsAtTheFirstZeroByte) {
  const char data[] = {'a', 'b', 'c', 0, 'd'};
  EXPECT_EQ("YWJj", SzBase64EncOneLine(data, sizeof data));
  EXPECT_EQ("YWJjAGQ=", SzBase64EncBuffer(data, sizeof data));
  EXPECT_EQ("", SzBase64EncBuffer(nullptr, 5));
  EXPECT_EQ("", SzBase64EncOneLine(nullptr, 5));
}

TEST(Base64Test, DecodingRules) {
  EXPECT_EQ("a", Dec("YQ=="));
  EXPECT_EQ("!", Dec("Y"));
  EXPECT_EQ("", Dec(""));
  EXPECT_EQ("ab", Dec("YWI"));  // unpadded final group
  EXPECT_EQ("a", Dec("YQ"));
  EXPECT_EQ("!", Dec("YWJjY"));  // lone final character
  EXPECT_EQ("!", Dec("Y=Q="));   // padding in the second place
  EXPECT_EQ("!", Dec("YQ=a"));   // data after padding
  EXPECT_EQ("!", Dec("YQ==YWJj"));
  EXPECT_EQ("!", Dec("YWJj\n"));
  EXPECT_EQ("!", Dec("YW-j"));
  EXPECT_EQ("!", Dec("YQ="));  // padding in an incomplete group
}

TEST(Base64Test, FullOutputBufferFailsAndTellsHowMuchWasWritten) {
  size_t produced = 99;
  EXPECT_EQ("!", Dec("Zm9vYmFy", 4, &produced));
  EXPECT_EQ(4u, produced);
  EXPECT_EQ("foobar", Dec("Zm9vYmFy", 6, &produced));
  EXPECT_EQ(6u, produced);
}

TEST(Base64Test, RoundTripsAgreeWithOpenSsl) {
  const uint32_t seed = 4242;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  // Sizes around the group boundaries and beyond the old 2304-byte limit.
  for (size_t size : {0, 1, 2, 3, 4, 5, 6, 7, 2303, 2304, 2305, 10000}) {
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    std::string text = Enc(data);
    std::vector<unsigned char> ref(4 * ((size + 2) / 3) + 1);
    int n = EVP_EncodeBlock(ref.data(), reinterpret_cast<const unsigned char*>(data.data()),
                            static_cast<int>(size));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ref.data()), n), text) << size;
    EXPECT_EQ(data, Dec(text, size + 1)) << size;
  }
}

}  // namespace
}  // namespace tidewell
