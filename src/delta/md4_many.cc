// Several MD4 digests at once, one message per SIMD lane. Signatures digest
// many independent blocks of equal length, which is exactly the shape that
// multi-lane hashing wants; a single MD4 stream is a chain of dependent steps
// and leaves most of the core idle.

#include <cstring>

#include "delta/md4.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TIDEWELL_MD4_X86 1
#include <immintrin.h>
#endif

namespace tidewell {

#ifdef TIDEWELL_MD4_X86

namespace {

// The 48 steps of one 64-byte chunk, written once over lane-wise operations
// VADD, VROL, VF, VG, VH and VK that each instruction set defines below.
#define MD4_S1(a, b, c, d, k, s) a = VROL(VADD(VADD(a, VF(b, c, d)), x[k]), s)
#define MD4_S2(a, b, c, d, k, s) a = VROL(VADD(VADD(a, VG(b, c, d)), VADD(x[k], k2)), s)
#define MD4_S3(a, b, c, d, k, s) a = VROL(VADD(VADD(a, VH(b, c, d)), VADD(x[k], k3)), s)
#define MD4_LANE_ROUNDS()                                                          \
  do {                                                                             \
    MD4_S1(a, b, c, d, 0, 3);   MD4_S1(d, a, b, c, 1, 7);                          \
    MD4_S1(c, d, a, b, 2, 11);  MD4_S1(b, c, d, a, 3, 19);                         \
    MD4_S1(a, b, c, d, 4, 3);   MD4_S1(d, a, b, c, 5, 7);                          \
    MD4_S1(c, d, a, b, 6, 11);  MD4_S1(b, c, d, a, 7, 19);                         \
    MD4_S1(a, b, c, d, 8, 3);   MD4_S1(d, a, b, c, 9, 7);                          \
    MD4_S1(c, d, a, b, 10, 11); MD4_S1(b, c, d, a, 11, 19);                        \
    MD4_S1(a, b, c, d, 12, 3);  MD4_S1(d, a, b, c, 13, 7);                         \
    MD4_S1(c, d, a, b, 14, 11); MD4_S1(b, c, d, a, 15, 19);                        \
    MD4_S2(a, b, c, d, 0, 3);   MD4_S2(d, a, b, c, 4, 5);                          \
    MD4_S2(c, d, a, b, 8, 9);   MD4_S2(b, c, d, a, 12, 13);                        \
    MD4_S2(a, b, c, d, 1, 3);   MD4_S2(d, a, b, c, 5, 5);                          \
    MD4_S2(c, d, a, b, 9, 9);   MD4_S2(b, c, d, a, 13, 13);                        \
    MD4_S2(a, b, c, d, 2, 3);   MD4_S2(d, a, b, c, 6, 5);                          \
    MD4_S2(c, d, a, b, 10, 9);  MD4_S2(b, c, d, a, 14, 13);                        \
    MD4_S2(a, b, c, d, 3, 3);   MD4_S2(d, a, b, c, 7, 5);                          \
    MD4_S2(c, d, a, b, 11, 9);  MD4_S2(b, c, d, a, 15, 13);                        \
    MD4_S3(a, b, c, d, 0, 3);   MD4_S3(d, a, b, c, 8, 9);                          \
    MD4_S3(c, d, a, b, 4, 11);  MD4_S3(b, c, d, a, 12, 15);                        \
    MD4_S3(a, b, c, d, 2, 3);   MD4_S3(d, a, b, c, 10, 9);                         \
    MD4_S3(c, d, a, b, 6, 11);  MD4_S3(b, c, d, a, 14, 15);                        \
    MD4_S3(a, b, c, d, 1, 3);   MD4_S3(d, a, b, c, 9, 9);                          \
    MD4_S3(c, d, a, b, 5, 11);  MD4_S3(b, c, d, a, 13, 15);                        \
    MD4_S3(a, b, c, d, 3, 3);   MD4_S3(d, a, b, c, 11, 9);                         \
    MD4_S3(c, d, a, b, 7, 11);  MD4_S3(b, c, d, a, 15, 15);                        \
  } while (0)

// Lays out each lane's final bytes (length % 64 of them) with the MD4
// padding in `tail`, `kTailStride` bytes per lane. Returns the number of
// 64-byte chunks of padding per lane (1 or 2).
constexpr size_t kTailStride = 128;

size_t BuildTails(const uint8_t* data, size_t stride, size_t length, int lanes,
                  uint8_t* tail) {
  const size_t rest = length % 64;
  const size_t chunks = rest < 56 ? 1 : 2;
  const uint64_t bits = static_cast<uint64_t>(length) * 8;
  for (int lane = 0; lane < lanes; ++lane) {
    uint8_t* t = tail + lane * kTailStride;
    memset(t, 0, kTailStride);
    memcpy(t, data + lane * stride + (length - rest), rest);
    t[rest] = 0x80;
    for (int i = 0; i < 8; ++i) t[chunks * 64 - 8 + i] = static_cast<uint8_t>(bits >> (8 * i));
  }
  return chunks;
}

void StoreDigests(const uint32_t* words, int lanes, uint8_t* digests) {
  // words holds a[0..lanes), b[..], c[..], d[..]; x86 is little-endian, as
  // MD4's output is.
  for (int lane = 0; lane < lanes; ++lane) {
    for (int w = 0; w < 4; ++w) {
      memcpy(digests + lane * kMD4DigestSize + 4 * w, &words[w * lanes + lane], 4);
    }
  }
}

// ---- AVX2: 8 lanes ----
#define VADD(p, q) _mm256_add_epi32(p, q)
#define VROL(p, s) _mm256_or_si256(_mm256_slli_epi32(p, s), _mm256_srli_epi32(p, 32 - (s)))
#define VF(p, q, r) _mm256_xor_si256(r, _mm256_and_si256(p, _mm256_xor_si256(q, r)))
#define VG(p, q, r) \
  _mm256_or_si256(_mm256_and_si256(p, q), _mm256_and_si256(r, _mm256_or_si256(p, q)))
#define VH(p, q, r) _mm256_xor_si256(_mm256_xor_si256(p, q), r)

__attribute__((target("avx2"))) void Chunks8(__m256i state[4], const uint8_t* p, __m256i idx,
                                            size_t chunks) {
  const __m256i k2 = _mm256_set1_epi32(0x5A827999);
  const __m256i k3 = _mm256_set1_epi32(0x6ED9EBA1);
  __m256i a = state[0], b = state[1], c = state[2], d = state[3];
  for (; chunks > 0; --chunks, p += 64) {
    __m256i x[16];
    for (int j = 0; j < 16; ++j) {
      x[j] = _mm256_i32gather_epi32(reinterpret_cast<const int*>(p + 4 * j), idx, 1);
    }
    const __m256i aa = a, bb = b, cc = c, dd = d;
    MD4_LANE_ROUNDS();
    a = VADD(a, aa);
    b = VADD(b, bb);
    c = VADD(c, cc);
    d = VADD(d, dd);
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

__attribute__((target("avx2"))) void Digest8(const uint8_t* data, size_t stride, size_t length,
                                            uint8_t* digests) {
  __m256i state[4] = {_mm256_set1_epi32(0x67452301), _mm256_set1_epi32(0xEFCDAB89),
                      _mm256_set1_epi32(0x98BADCFE), _mm256_set1_epi32(0x10325476)};
  const int s = static_cast<int>(stride);
  Chunks8(state, data, _mm256_setr_epi32(0, s, 2 * s, 3 * s, 4 * s, 5 * s, 6 * s, 7 * s),
          length / 64);
  alignas(64) uint8_t tail[8 * kTailStride];
  const size_t tail_chunks = BuildTails(data, stride, length, 8, tail);
  const int t = static_cast<int>(kTailStride);
  Chunks8(state, tail, _mm256_setr_epi32(0, t, 2 * t, 3 * t, 4 * t, 5 * t, 6 * t, 7 * t),
          tail_chunks);
  alignas(32) uint32_t words[32];
  for (int w = 0; w < 4; ++w) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(words + 8 * w), state[w]);
  }
  StoreDigests(words, 8, digests);
}

#undef VADD
#undef VROL
#undef VF
#undef VG
#undef VH

// ---- AVX-512: 16 lanes, with native rotates and three-input logic ----
#define VADD(p, q) _mm512_add_epi32(p, q)
// The masked forms take an explicit pass-through value; the plain ones start
// from an undefined register, which some compilers warn about.
#define VROL(p, s) _mm512_mask_rol_epi32(p, 0xFFFF, p, s)
#define VF(p, q, r) _mm512_ternarylogic_epi32(p, q, r, 0xCA)
#define VG(p, q, r) _mm512_ternarylogic_epi32(p, q, r, 0xE8)
#define VH(p, q, r) _mm512_ternarylogic_epi32(p, q, r, 0x96)

__attribute__((target("avx512f"))) void Chunks16(__m512i state[4], const uint8_t* p,
                                                 __m512i idx, size_t chunks) {
  const __m512i k2 = _mm512_set1_epi32(0x5A827999);
  const __m512i k3 = _mm512_set1_epi32(0x6ED9EBA1);
  const __m512i zero = _mm512_setzero_si512();
  __m512i a = state[0], b = state[1], c = state[2], d = state[3];
  for (; chunks > 0; --chunks, p += 64) {
    __m512i x[16];
    for (int j = 0; j < 16; ++j) {
      x[j] = _mm512_mask_i32gather_epi32(zero, 0xFFFF, idx, reinterpret_cast<const int*>(p + 4 * j), 1);
    }
    const __m512i aa = a, bb = b, cc = c, dd = d;
    MD4_LANE_ROUNDS();
    a = VADD(a, aa);
    b = VADD(b, bb);
    c = VADD(c, cc);
    d = VADD(d, dd);
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

__attribute__((target("avx512f"))) void Digest16(const uint8_t* data, size_t stride,
                                                 size_t length, uint8_t* digests) {
  __m512i state[4] = {_mm512_set1_epi32(0x67452301), _mm512_set1_epi32(0xEFCDAB89),
                      _mm512_set1_epi32(0x98BADCFE), _mm512_set1_epi32(0x10325476)};
  const int s = static_cast<int>(stride);
  Chunks16(state, data,
           _mm512_setr_epi32(0, s, 2 * s, 3 * s, 4 * s, 5 * s, 6 * s, 7 * s, 8 * s, 9 * s,
                             10 * s, 11 * s, 12 * s, 13 * s, 14 * s, 15 * s),
           length / 64);
  alignas(64) uint8_t tail[16 * kTailStride];
  const size_t tail_chunks = BuildTails(data, stride, length, 16, tail);
  const int t = static_cast<int>(kTailStride);
  Chunks16(state, tail,
           _mm512_setr_epi32(0, t, 2 * t, 3 * t, 4 * t, 5 * t, 6 * t, 7 * t, 8 * t, 9 * t,
                             10 * t, 11 * t, 12 * t, 13 * t, 14 * t, 15 * t),
           tail_chunks);
  alignas(64) uint32_t words[64];
  for (int w = 0; w < 4; ++w) _mm512_store_si512(words + 16 * w, state[w]);
  StoreDigests(words, 16, digests);
}

#undef VADD
#undef VROL
#undef VF
#undef VG
#undef VH

enum class Lanes { kOne, kEight, kSixteen };

Lanes DetectLanes() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return Lanes::kSixteen;
  if (__builtin_cpu_supports("avx2")) return Lanes::kEight;
  return Lanes::kOne;
}

}  // namespace

void MD4DigestMany(const uint8_t* data, size_t stride, size_t length, size_t count,
                   uint8_t* digests) {
  static const Lanes lanes = DetectLanes();
  // Gather offsets are 32-bit: lane 15 must sit within 2 GiB of lane 0.
  const bool fits = stride <= (1u << 26);
  size_t i = 0;
  if (fits && lanes == Lanes::kSixteen) {
    for (; i + 16 <= count; i += 16) {
      Digest16(data + i * stride, stride, length, digests + i * kMD4DigestSize);
    }
  }
  if (fits && lanes != Lanes::kOne) {
    for (; i + 8 <= count; i += 8) {
      Digest8(data + i * stride, stride, length, digests + i * kMD4DigestSize);
    }
  }
  for (; i < count; ++i) MD4Digest(data + i * stride, length, digests + i * kMD4DigestSize);
}

#else  // not x86-64

void MD4DigestMany(const uint8_t* data, size_t stride, size_t length, size_t count,
                   uint8_t* digests) {
  for (size_t i = 0; i < count; ++i) {
    MD4Digest(data + i * stride, length, digests + i * kMD4DigestSize);
  }
}

#endif

}  // namespace tidewell
