#include "delta/rolling_checksum.h"

namespace tidewell {

namespace {

// Sums the bytes and their weights (n - i) without the chain of dependent
// additions that the byte-by-byte form has, so the compiler can vectorise.
// The results are only needed modulo 2^32.
void PlainSums(const uint8_t* data, size_t length, uint32_t* sum, uint32_t* weighted) {
  uint32_t s = 0, w = 0;
  const uint32_t n = static_cast<uint32_t>(length);
  for (size_t i = 0; i < length; ++i) {
    s += data[i];
    w += (n - static_cast<uint32_t>(i)) * data[i];
  }
  *sum = s;
  *weighted = w;
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
