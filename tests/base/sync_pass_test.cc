#include "base/sync_pass.h"

#define OPENSSL_SUPPRESS_DEPRECATED
#include <gtest/gtest.h>
#include <openssl/blowfish.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/base64.h"
#include "base/blowfish_cfb64.h"
#include "common/random.h"

namespace tidewell {
namespace {

TEST(BlowfishCfb64Test, PublishedVector) {
  // The CFB64 vector that ships with the original Blowfish implementation.
  const unsigned char key[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                 0xf0, 0xe1, 0xd2, 0xc3, 0xb4, 0xa5, 0x96, 0x87};
  const unsigned char iv[8] = {0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
  const char plain[] = "7654321 Now is the time for ";  // 29 bytes with the NUL
  const unsigned char expected[29] = {0xE7, 0x32, 0x14, 0xA2, 0x82, 0x21, 0x39, 0xCA, 0xF2, 0x6E,
                                      0xCF, 0x6D, 0x2E, 0xB9, 0xE7, 0x6E, 0x3D, 0xA3, 0xDE, 0x04,
                                      0xD1, 0x51, 0x72, 0x00, 0x51, 0x9D, 0x57, 0xA6, 0xC3};
  unsigned char out[29], back[29];
  ASSERT_EQ(0, BlowfishCfb64(key, sizeof key, iv, reinterpret_cast<const unsigned char*>(plain),
                             sizeof plain, out, true));
  EXPECT_EQ(0, memcmp(expected, out, sizeof out));
  ASSERT_EQ(0, BlowfishCfb64(key, sizeof key, iv, out, sizeof out, back, false));
  EXPECT_EQ(0, memcmp(plain, back, sizeof back));
  EXPECT_EQ(-1, BlowfishCfb64(key, 0, iv, out, 1, back, true));
  EXPECT_EQ(-1, BlowfishCfb64(key, 57, iv, out, 1, back, true));
}

TEST(SyncPassTest, KnownAnswers) {
  const char* vectors[][2] = {
      {"secret", "1/IesUE5"},
      {"password", "1PYOsFMiepk="},
      {"Pa55w0rd!with a longer tail", "9PZI9lN9epkcS7K9kGypG331Z/9n64/LVIp9"},
      {"", ""}};
  for (auto& v : vectors) {
    std::string encoded, plain;
    ASSERT_EQ(0, SyncPassEnc(v[0], encoded));
    EXPECT_EQ(v[1], encoded);
    ASSERT_EQ(0, SyncPassDec(v[1], plain));
    EXPECT_EQ(v[0], plain);
  }
}

// The same encoding computed with the classic low-level Blowfish interface,
// independent of the provider machinery used by the code under test.
std::string ReferenceEncode(const std::string& plain) {
  static const unsigned char kKey[4] = {0x6B, 0x1F, 0xC4, 0x3A};
  BF_KEY key;
  BF_set_key(&key, sizeof kKey, kKey);
  unsigned char iv[8] = {0};
  int num = 0;
  std::vector<unsigned char> out(plain.size() + 1);
  BF_cfb64_encrypt(reinterpret_cast<const unsigned char*>(plain.data()), out.data(),
                   static_cast<long>(plain.size()), &key, iv, &num, BF_ENCRYPT);
  return SzBase64EncBuffer(out.data(), plain.size());
}

TEST(SyncPassTest, RandomTextsRoundTripAndMatchTheReference) {
  const uint64_t seed = testing::TestSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
  for (int i = 0; i < 200; ++i) {
    std::string plain(rng() % 300, 'x');
    for (char& c : plain) c = static_cast<char>(1 + rng() % 255);  // no zero bytes
    std::string encoded, decoded;
    ASSERT_EQ(0, SyncPassEnc(plain, encoded));
    EXPECT_EQ(ReferenceEncode(plain), encoded);
    EXPECT_EQ((plain.size() + 2) / 3 * 4, encoded.size());  // CFB64 does not pad
    ASSERT_EQ(0, SyncPassDec(encoded, decoded));
    EXPECT_EQ(plain, decoded);
  }
}

TEST(SyncPassTest, MalformedInputGivesAnEmptyResult) {
  std::string plain = "left over";
  EXPECT_EQ(-1, SyncPassDec("not base64!", plain));
  EXPECT_EQ("", plain);
  plain = "left over";
  EXPECT_EQ(0, SyncPassDec("", plain));
  EXPECT_EQ("", plain);
}

TEST(SyncPassTest, DecodingStopsAtAZeroByte) {
  std::string encoded, plain;
  ASSERT_EQ(0, SyncPassEnc(std::string("ab\0cd", 5), encoded));
  ASSERT_EQ(0, SyncPassDec(encoded, plain));
  EXPECT_EQ("ab", plain);
}

TEST(SyncPassTest, WorksFromManyThreadsAtOnce) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) {
        std::string encoded;
        EXPECT_EQ(0, SyncPassEnc("password", encoded));
        EXPECT_EQ("1PYOsFMiepk=", encoded);
      }
    });
  }
  for (auto& t : threads) t.join();
}

}  // namespace
}  // namespace tidewell
