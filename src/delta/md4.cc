#include "delta/md4.h"

#include <cstring>

namespace tidewell {

namespace {

inline uint32_t Rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

inline uint32_t LoadLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void StoreLE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

#define MD4_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD4_G(x, y, z) (((x) & (y)) | ((z) & ((x) | (y))))
#define MD4_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD4_R1(a, b, c, d, k, s) a = Rotl(a + MD4_F(b, c, d) + x[k], s)
#define MD4_R2(a, b, c, d, k, s) a = Rotl(a + MD4_G(b, c, d) + x[k] + 0x5A827999u, s)
#define MD4_R3(a, b, c, d, k, s) a = Rotl(a + MD4_H(b, c, d) + x[k] + 0x6ED9EBA1u, s)

void MD4Compress(uint32_t state[4], const uint8_t* data, size_t blocks) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t x[16];
  for (; blocks > 0; --blocks, data += 64) {
    for (int i = 0; i < 16; ++i) x[i] = LoadLE32(data + 4 * i);
    const uint32_t aa = a, bb = b, cc = c, dd = d;
    MD4_R1(a, b, c, d, 0, 3);  MD4_R1(d, a, b, c, 1, 7);
    MD4_R1(c, d, a, b, 2, 11); MD4_R1(b, c, d, a, 3, 19);
    MD4_R1(a, b, c, d, 4, 3);  MD4_R1(d, a, b, c, 5, 7);
    MD4_R1(c, d, a, b, 6, 11); MD4_R1(b, c, d, a, 7, 19);
    MD4_R1(a, b, c, d, 8, 3);  MD4_R1(d, a, b, c, 9, 7);
    MD4_R1(c, d, a, b, 10, 11); MD4_R1(b, c, d, a, 11, 19);
    MD4_R1(a, b, c, d, 12, 3); MD4_R1(d, a, b, c, 13, 7);
    MD4_R1(c, d, a, b, 14, 11); MD4_R1(b, c, d, a, 15, 19);

    MD4_R2(a, b, c, d, 0, 3);  MD4_R2(d, a, b, c, 4, 5);
    MD4_R2(c, d, a, b, 8, 9);  MD4_R2(b, c, d, a, 12, 13);
    MD4_R2(a, b, c, d, 1, 3);  MD4_R2(d, a, b, c, 5, 5);
    MD4_R2(c, d, a, b, 9, 9);  MD4_R2(b, c, d, a, 13, 13);
    MD4_R2(a, b, c, d, 2, 3);  MD4_R2(d, a, b, c, 6, 5);
    MD4_R2(c, d, a, b, 10, 9); MD4_R2(b, c, d, a, 14, 13);
    MD4_R2(a, b, c, d, 3, 3);  MD4_R2(d, a, b, c, 7, 5);
    MD4_R2(c, d, a, b, 11, 9); MD4_R2(b, c, d, a, 15, 13);

    MD4_R3(a, b, c, d, 0, 3);  MD4_R3(d, a, b, c, 8, 9);
    MD4_R3(c, d, a, b, 4, 11); MD4_R3(b, c, d, a, 12, 15);
    MD4_R3(a, b, c, d, 2, 3);  MD4_R3(d, a, b, c, 10, 9);
    MD4_R3(c, d, a, b, 6, 11); MD4_R3(b, c, d, a, 14, 15);
    MD4_R3(a, b, c, d, 1, 3);  MD4_R3(d, a, b, c, 9, 9);
    MD4_R3(c, d, a, b, 5, 11); MD4_R3(b, c, d, a, 13, 15);
    MD4_R3(a, b, c, d, 3, 3);  MD4_R3(d, a, b, c, 11, 9);
    MD4_R3(c, d, a, b, 7, 11); MD4_R3(b, c, d, a, 15, 15);

    a += aa;
    b += bb;
    c += cc;
    d += dd;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

void MD4::Reset() {
  state_[0] = 0x67452301u;
  state_[1] = 0xEFCDAB89u;
  state_[2] = 0x98BADCFEu;
  state_[3] = 0x10325476u;
  total_ = 0;
  pending_size_ = 0;
}

void MD4::Update(const void* data, size_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  total_ += length;
  if (pending_size_ > 0) {
    size_t take = 64 - pending_size_;
    if (take > length) take = length;
    memcpy(pending_ + pending_size_, p, take);
    pending_size_ += take;
    p += take;
    length -= take;
    if (pending_size_ < 64) return;
    MD4Compress(state_, pending_, 1);
    pending_size_ = 0;
  }
  const size_t whole = length / 64;
  if (whole > 0) MD4Compress(state_, p, whole);
  p += whole * 64;
  length -= whole * 64;
  if (length > 0) {
    memcpy(pending_, p, length);
    pending_size_ = length;
  }
}

void MD4::Final(uint8_t digest[kMD4DigestSize]) {
  // Padding: one 0x80 byte, zeros up to 56 mod 64, then the bit length as a
  // little-endian 64-bit number.
  uint8_t tail[128] = {0};
  memcpy(tail, pending_, pending_size_);
  tail[pending_size_] = 0x80;
  const size_t tail_size = pending_size_ < 56 ? 64 : 128;
  const uint64_t bits = total_ * 8;
  StoreLE32(tail + tail_size - 8, static_cast<uint32_t>(bits));
  StoreLE32(tail + tail_size - 4, static_cast<uint32_t>(bits >> 32));
  MD4Compress(state_, tail, tail_size / 64);
  for (int i = 0; i < 4; ++i) StoreLE32(digest + 4 * i, state_[i]);
}

void MD4Digest(const void* data, size_t length, uint8_t digest[kMD4DigestSize]) {
  MD4 md4;
  md4.Update(data, length);
  md4.Final(digest);
}

}  // namespace tidewell
