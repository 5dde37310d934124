#include "delta/rolling_checksum.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TIDEWELL_WEAK_SUM_X86 1
#include <immintrin.h>
#endif

namespace tidewell {

namespace {

// Sums the bytes and their weights (n - i) without the chain of dependent
// additions that the byte-by-byte form has, so the compiler can vectorise.
// The results are only needed modulo 2^32.
void PlainSumsScalar(const uint8_t* data, size_t length, uint32_t* sum, uint32_t* weighted) {
  uint32_t s = 0, w = 0;
  const uint32_t n = static_cast<uint32_t>(length);
  for (size_t i = 0; i < length; ++i) {
    s += data[i];
    w += (n - static_cast<uint32_t>(i)) * data[i];
  }
  *sum = s;
  *weighted = w;
}

#ifdef TIDEWELL_WEAK_SUM_X86
// The same sums 32 bytes at a time. For m whole chunks and r = length - 32m
// trailing bytes, byte j of chunk c has weight r + 32(m - 1 - c) + (32 - j):
// the last term comes from one multiply-add per chunk, the middle one from
// summing the running total of the earlier chunks' byte sums.
__attribute__((target("avx2"))) void PlainSumsAvx2(const uint8_t* data, size_t length,
                                                   uint32_t* sum, uint32_t* weighted) {
  const size_t chunks = length / 32;
  const __m256i weights = _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20,
                                           19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5,
                                           4, 3, 2, 1);
  const __m256i ones = _mm256_set1_epi16(1);
  const __m256i zero = _mm256_setzero_si256();
  __m256i v_sum = zero;     // byte sums, 4 x 64-bit
  __m256i v_prefix = zero;  // sums of v_sum before each chunk, 4 x 64-bit
  __m256i v_inner = zero;   // sums of (32 - j) * byte, 8 x 32-bit
  for (size_t c = 0; c < chunks; ++c) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 32 * c));
    v_prefix = _mm256_add_epi64(v_prefix, v_sum);
    v_sum = _mm256_add_epi64(v_sum, _mm256_sad_epu8(bytes, zero));
    v_inner = _mm256_add_epi32(v_inner, _mm256_madd_epi16(_mm256_maddubs_epi16(bytes, weights), ones));
  }
  alignas(32) uint64_t s4[4], p4[4];
  alignas(32) uint32_t i8[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(s4), v_sum);
  _mm256_store_si256(reinterpret_cast<__m256i*>(p4), v_prefix);
  _mm256_store_si256(reinterpret_cast<__m256i*>(i8), v_inner);
  uint32_t s = 0, prefix = 0, inner = 0;
  for (int k = 0; k < 4; ++k) {
    s += static_cast<uint32_t>(s4[k]);
    prefix += static_cast<uint32_t>(p4[k]);
  }
  for (int k = 0; k < 8; ++k) inner += i8[k];
  const size_t done = 32 * chunks;
  const uint32_t rest = static_cast<uint32_t>(length - done);
  uint32_t tail_sum, tail_weighted;
  PlainSumsScalar(data + done, rest, &tail_sum, &tail_weighted);
  *sum = s + tail_sum;
  *weighted = rest * s + 32 * prefix + inner + tail_weighted;
}

bool HaveAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#endif

void PlainSums(const uint8_t* data, size_t length, uint32_t* sum, uint32_t* weighted) {
#ifdef TIDEWELL_WEAK_SUM_X86
  static const bool avx2 = HaveAvx2();
  if (avx2 && length >= 64) {
    PlainSumsAvx2(data, length, sum, weighted);
    return;
  }
#endif
  PlainSumsScalar(data, length, sum, weighted);
}

}  // namespace

void RSRollingChecksum::update(const uint8_t* data, size_t length) {
  // For the appended bytes y[0..m): a' = a + S + 31m and
  // b' = b + m*a + sum((m - i) * y[i]) + 31 * m(m+1)/2.
  uint32_t s, w;
  PlainSums(data, length, &s, &w);
  const uint32_t m = static_cast<uint32_t>(length);
  const uint32_t offset_triangle =
      static_cast<uint32_t>((static_cast<uint64_t>(m) * (m + 1) / 2) * CHAR_OFFSET);
  b += m * a + w + offset_triangle;
  a += s + m * CHAR_OFFSET;
  count += m;
}

uint32_t WeakSum(const uint8_t* data, size_t length) {
  RSRollingChecksum sum;
  sum.update(data, length);
  return sum.digest();
}

}  // namespace tidewell
