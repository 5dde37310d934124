#include "net/tunnel_crypto.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/md5.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace tidewell {

namespace {

constexpr uint16_t kMarker = 0xFFFF;
constexpr uint16_t kVersion = 1;
constexpr size_t kHeaderSize = 24;
constexpr size_t kBlock = 8;

// The affine step of the key derivation; the relay uses the same values.
constexpr uint32_t kSeedMultiplier = 0x2C1B3C6Du;
constexpr uint32_t kSeedIncrement = 0x297A2D39u;

void PutBE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

void PutBE32(uint8_t* p, uint32_t v) {
  for (int i = 3; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

uint16_t GetBE16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t GetBE32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// 24 key bytes: SHA-1 then MD5 of the transformed seed, first 24 of 36.
void DeriveKey(uint32_t seed, uint8_t key[24]) {
  uint8_t x[4];
  PutBE32(x, seed * kSeedMultiplier + kSeedIncrement);
  uint8_t digest[SHA_DIGEST_LENGTH + MD5_DIGEST_LENGTH];
  EVP_Digest(x, sizeof x, digest, nullptr, EVP_sha1(), nullptr);
  EVP_Digest(x, sizeof x, digest + SHA_DIGEST_LENGTH, nullptr, EVP_md5(), nullptr);
  std::memcpy(key, digest, 24);
}

// The IV is computed rather than stored as one literal.
void BuildIv(uint8_t iv[kBlock]) {
  uint32_t s = 0x6D2B79F5u;
  for (size_t i = 0; i < kBlock; ++i) {
    s = s * 1664525u + 1013904223u;
    iv[i] = static_cast<uint8_t>(s >> 24);
  }
}

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

// Runs the cipher over `in`; returns the output length or -1.
int RunCipher(bool encrypt, const uint8_t key[24], const uint8_t* in, size_t in_len, uint8_t* out) {
  if (in_len > static_cast<size_t>(INT32_MAX) - kBlock) return -1;
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  if (ctx == nullptr) return -1;
  uint8_t iv[kBlock];
  BuildIv(iv);
  if (EVP_CipherInit_ex(ctx.get(), EVP_des_ede3_cbc(), nullptr, key, iv, encrypt ? 1 : 0) != 1) return -1;
  int n = 0;
  int tail = 0;
  if (EVP_CipherUpdate(ctx.get(), out, &n, in, static_cast<int>(in_len)) != 1) return -1;
  if (EVP_CipherFinal_ex(ctx.get(), out + n, &tail) != 1) return -1;
  return n + tail;
}

bool IsBase64Text(const char* in, size_t len) {
  if (len % 4 != 0) return false;
  size_t pad = 0;
  for (size_t i = 0; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(in[i]);
    if (c == '=') {
      ++pad;
      continue;
    }
    if (pad > 0) return false;  // '=' only at the end
    if (!(std::isalnum(c) || c == '+' || c == '/')) return false;
  }
  return pad <= 2;
}

struct BioFree {
  void operator()(BIO* b) const { BIO_free_all(b); }
};

}  // namespace

size_t VELTCryptoEncryptLength(size_t plain_len) { return plain_len + kTokenOverhead + kBlock; }

size_t VELTCryptoEncrypt(uint8_t* out, size_t out_size, const uint8_t* plain, size_t plain_len) {
  if (out == nullptr || (plain == nullptr && plain_len > 0)) return 0;
  if (out_size < VELTCryptoEncryptLength(plain_len)) return 0;
  // Random bytes first, then the fixed fields over them.
  if (RAND_bytes(out, static_cast<int>(kHeaderSize)) != 1) return 0;
  PutBE16(out, kMarker);
  PutBE16(out + 2, kVersion);
  uint32_t seed = GetBE32(out + 10);
  uint8_t key[24];
  DeriveKey(seed, key);
  int n = RunCipher(true, key, plain, plain_len, out + kHeaderSize);
  if (n <= 0) return 0;
  PutBE32(out + 20, static_cast<uint32_t>(n));
  if (RAND_bytes(out + kHeaderSize + n, 2) != 1) return 0;
  return kHeaderSize + static_cast<size_t>(n) + 2;
}

size_t VELTCryptoDecrypt(uint8_t* out, size_t out_size, const uint8_t* record, size_t record_len) {
  if (out == nullptr || record == nullptr || record_len < kTokenMinRecord) return 0;
  if (GetBE16(record) != kMarker || GetBE16(record + 2) > kVersion) return 0;
  size_t cipher_len = GetBE32(record + 20);
  if (cipher_len == 0 || cipher_len % kBlock != 0 || cipher_len > record_len - kHeaderSize) return 0;
  uint8_t key[24];
  DeriveKey(GetBE32(record + 10), key);
  // Decrypt into scratch space first: the padding is only known afterwards.
  std::vector<uint8_t> plain(cipher_len + kBlock);
  int n = RunCipher(false, key, record + kHeaderSize, cipher_len, plain.data());
  if (n < 0 || static_cast<size_t>(n) > out_size) return 0;
  std::memcpy(out, plain.data(), static_cast<size_t>(n));
  return static_cast<size_t>(n);
}

int VELTCryptoBase64Encode(char* out, size_t out_size, const uint8_t* in, size_t in_len) {
  if (out == nullptr || (in == nullptr && in_len > 0) || in_len > INT32_MAX / 2) return -1;
  size_t need = (in_len + 2) / 3 * 4;
  if (out_size < need + 1) return -1;
  std::unique_ptr<BIO, BioFree> chain(BIO_push(BIO_new(BIO_f_base64()), BIO_new(BIO_s_mem())));
  if (chain == nullptr) return -1;
  BIO_set_flags(chain.get(), BIO_FLAGS_BASE64_NO_NL);
  if (in_len > 0 && BIO_write(chain.get(), in, static_cast<int>(in_len)) != static_cast<int>(in_len)) return -1;
  if (BIO_flush(chain.get()) != 1) return -1;
  char* text = nullptr;
  long len = BIO_get_mem_data(BIO_next(chain.get()), &text);
  if (len < 0 || static_cast<size_t>(len) != need) return -1;
  if (need > 0) std::memcpy(out, text, need);
  out[need] = '\0';
  return static_cast<int>(need);
}

int VELTCryptoBase64Decode(uint8_t* out, size_t out_size, const char* in, size_t in_len) {
  if (out == nullptr || in == nullptr || in_len > INT32_MAX) return -1;
  if (!IsBase64Text(in, in_len)) return -1;
  if (in_len == 0) return 0;
  size_t pad = (in[in_len - 1] == '=') + (in_len > 1 && in[in_len - 2] == '=');
  size_t need = in_len / 4 * 3 - pad;
  if (need > out_size) return -1;
  std::unique_ptr<BIO, BioFree> chain(
      BIO_push(BIO_new(BIO_f_base64()), BIO_new_mem_buf(in, static_cast<int>(in_len))));
  if (chain == nullptr) return -1;
  BIO_set_flags(chain.get(), BIO_FLAGS_BASE64_NO_NL);
  std::vector<uint8_t> tmp(need + 3);
  size_t got = 0;
  for (;;) {
    int n = BIO_read(chain.get(), tmp.data() + got, static_cast<int>(tmp.size() - got));
    if (n <= 0) break;
    got += static_cast<size_t>(n);
    if (got == tmp.size()) break;
  }
  if (got != need) return -1;
  if (need > 0) std::memcpy(out, tmp.data(), need);
  return static_cast<int>(need);
}

std::string MakeTunnelToken(const std::string& plain) {
  std::vector<uint8_t> record(VELTCryptoEncryptLength(plain.size()));
  size_t n = VELTCryptoEncrypt(record.data(), record.size(),
                               reinterpret_cast<const uint8_t*>(plain.data()), plain.size());
  if (n == 0) return {};
  std::string text((n + 2) / 3 * 4 + 1, '\0');
  int len = VELTCryptoBase64Encode(text.data(), text.size(), record.data(), n);
  if (len < 0) return {};
  text.resize(static_cast<size_t>(len));
  return text;
}

bool ReadTunnelToken(const std::string& token, std::string& plain) {
  std::vector<uint8_t> record(token.size() / 4 * 3 + 3);
  int n = VELTCryptoBase64Decode(record.data(), record.size(), token.data(), token.size());
  if (n <= 0) return false;
  std::vector<uint8_t> text(static_cast<size_t>(n));
  size_t len = VELTCryptoDecrypt(text.data(), text.size(), record.data(), static_cast<size_t>(n));
  if (len == 0) return false;
  plain.assign(reinterpret_cast<const char*>(text.data()), len);
  return true;
}

}  // namespace tidewell
