#include "net/tunnel_crypto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace tidewell {
namespace {

std::vector<uint8_t> Encrypt(const std::string& plain) {
  std::vector<uint8_t> out(VELTCryptoEncryptLength(plain.size()));
  size_t n = VELTCryptoEncrypt(out.data(), out.size(), reinterpret_cast<const uint8_t*>(plain.data()), plain.size());
  out.resize(n);
  return out;
}

std::string Decrypt(const std::vector<uint8_t>& record) {
  std::vector<uint8_t> out(record.size() + 8);
  size_t n = VELTCryptoDecrypt(out.data(), out.size(), record.data(), record.size());
  return std::string(reinterpret_cast<const char*>(out.data()), n);
}

uint32_t BE32(const std::vector<uint8_t>& r, size_t at) {
  return (uint32_t{r[at]} << 24) | (uint32_t{r[at + 1]} << 16) | (uint32_t{r[at + 2]} << 8) | r[at + 3];
}

TEST(TunnelCryptoTest, ThirteenBytesMakeAFortyTwoByteRecord) {
  std::vector<uint8_t> r = Encrypt("10.0.0.1:4430");  // 13 bytes
  ASSERT_EQ(42u, r.size());
  EXPECT_EQ(0xFF, r[0]);
  EXPECT_EQ(0xFF, r[1]);
  EXPECT_EQ(0x00, r[2]);
  EXPECT_EQ(0x01, r[3]);
  EXPECT_EQ(16u, BE32(r, 20));  // padded to whole 8-byte blocks
  EXPECT_EQ("10.0.0.1:4430", Decrypt(r));
  EXPECT_EQ(47u, VELTCryptoEncryptLength(13));
}

TEST(TunnelCryptoTest, RoundTripsEveryLengthAroundTheBlockSize) {
  for (size_t len = 1; len <= 33; ++len) {
    std::string plain;
    for (size_t i = 0; i < len; ++i) plain.push_back(static_cast<char>('a' + i % 26));
    std::vector<uint8_t> r = Encrypt(plain);
    ASSERT_EQ((len / 8 + 1) * 8 + 26, r.size()) << len;
    EXPECT_EQ(plain, Decrypt(r)) << len;
  }
}

TEST(TunnelCryptoTest, RecordsOfTheSameTextDifferButBothDecrypt) {
  std::vector<uint8_t> a = Encrypt("127.0.0.1:80");
  std::vector<uint8_t> b = Encrypt("127.0.0.1:80");
  EXPECT_NE(a, b);  // fresh seed and random fields each time
  EXPECT_EQ(Decrypt(a), Decrypt(b));
}

TEST(TunnelCryptoTest, RefusesMalformedRecords) {
  std::vector<uint8_t> good = Encrypt("127.0.0.1:80");
  ASSERT_FALSE(good.empty());

  std::vector<uint8_t> r = good;
  r[1] = 0xFE;  // marker
  EXPECT_EQ("", Decrypt(r));
  r = good;
  r[3] = 2;  // version above 1
  EXPECT_EQ("", Decrypt(r));
  r = good;
  r[23] = static_cast<uint8_t>(r[23] + 16);  // length beyond the record
  EXPECT_EQ("", Decrypt(r));
  r = good;
  r[23] = 12;  // not a whole number of blocks
  EXPECT_EQ("", Decrypt(r));
  r = good;
  r[12] ^= 0x55;  // another seed gives another key: no longer the text
  EXPECT_NE("127.0.0.1:80", Decrypt(r));
  r.assign(good.begin(), good.begin() + 26);  // shorter than 27 bytes
  EXPECT_EQ("", Decrypt(r));

  // The plain text must fit the output.
  uint8_t small[4];
  EXPECT_EQ(0u, VELTCryptoDecrypt(small, sizeof small, good.data(), good.size()));
  // And the record must fit its buffer.
  uint8_t out[40];
  const uint8_t plain[13] = {};
  EXPECT_EQ(0u, VELTCryptoEncrypt(out, sizeof out, plain, sizeof plain));
}

TEST(TunnelCryptoTest, Base64MatchesTheStandardAlphabet) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"},
      {std::string("\xfb\xff\xfe", 3), "+//+"}};
  for (const auto& [bytes, text] : vectors) {
    char out[64];
    int n = VELTCryptoBase64Encode(out, sizeof out, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ASSERT_EQ(static_cast<int>(text.size()), n);
    EXPECT_EQ(text, std::string(out));
    uint8_t back[64];
    n = VELTCryptoBase64Decode(back, sizeof back, text.data(), text.size());
    ASSERT_EQ(static_cast<int>(bytes.size()), n);
    EXPECT_EQ(0, std::memcmp(back, bytes.data(), bytes.size()));
  }
  // A long input stays on one line.
  std::vector<uint8_t> big(300, 0xAB);
  std::vector<char> text(401);
  ASSERT_EQ(400, VELTCryptoBase64Encode(text.data(), text.size(), big.data(), big.size()));
  EXPECT_EQ(nullptr, std::memchr(text.data(), '\n', 400));
}

TEST(TunnelCryptoTest, Base64RefusesWhatDoesNotFitOrIsNotBase64) {
  char out[8];
  const uint8_t six[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(-1, VELTCryptoBase64Encode(out, sizeof out, six, sizeof six));  // 8 + NUL
  uint8_t bytes[8];
  EXPECT_EQ(-1, VELTCryptoBase64Decode(bytes, sizeof bytes, "Zm9", 3));
  EXPECT_EQ(-1, VELTCryptoBase64Decode(bytes, sizeof bytes, "Zm9v\nYmFy", 9));
  EXPECT_EQ(-1, VELTCryptoBase64Decode(bytes, sizeof bytes, "Z=9v", 4));
  EXPECT_EQ(-1, VELTCryptoBase64Decode(bytes, 5, "Zm9vYmFy", 8));
}

TEST(TunnelCryptoTest, TokensCarryTheTargetText) {
  std::string token = MakeTunnelToken("192.168.1.2:443");
  ASSERT_FALSE(token.empty());
  std::string plain;
  ASSERT_TRUE(ReadTunnelToken(token, plain));
  EXPECT_EQ("192.168.1.2:443", plain);
  EXPECT_FALSE(ReadTunnelToken("not-base64!", plain));
  EXPECT_FALSE(ReadTunnelToken("Zm9vYmFy", plain));  // base64, but no record
}

}  // namespace
}  // namespace tidewell
