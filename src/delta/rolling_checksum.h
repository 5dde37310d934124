// The weak, rolling checksum of signature entries: two 16-bit running sums
// of the window's bytes (each offset by CHAR_OFFSET), packed into 32 bits.
// It can be moved one byte forward in constant time, which is what lets the
// delta builder test every byte position of the new file against the
// signature.

#ifndef TIDEWELL_DELTA_ROLLING_CHECKSUM_H_
#define TIDEWELL_DELTA_ROLLING_CHECKSUM_H_

#include <cstddef>
#include <cstdint>

namespace tidewell {

// A window of `size()` bytes and its sums. Plain value; not thread-safe.
class RSRollingChecksum {
 public:
  static constexpr uint32_t CHAR_OFFSET = 31;

  void clear() { count = a = b = 0; }

  // Appends one byte to the end of the window.
  void roll_in(uint8_t in) {
    a += in + CHAR_OFFSET;
    b += a;
    ++count;
  }

  // Drops the window's first byte `out`. Precondition: the window holds it.
  void roll_out(uint8_t out) {
    a -= out + CHAR_OFFSET;
    b -= count * (out + CHAR_OFFSET);
    --count;
  }

  // Moves a window of unchanged size forward: drops `out`, appends `in`.
  void rotate(uint8_t out, uint8_t in) {
    a += in - out;
    b += a - count * (out + CHAR_OFFSET);
  }

  // Appends `length` bytes at once.
  void update(const uint8_t* data, size_t length);

  size_t size() const { return count; }
  bool empty() const { return count == 0; }

  // The weak sum: low 16 bits of `a`, with the low 16 bits of `b` above.
  uint32_t digest() const { return (a & 0xFFFFu) | (b << 16); }

  uint32_t count = 0;
  uint32_t a = 0;
  uint32_t b = 0;
};

// The weak sum of `length` bytes, as a fresh window over them would give.
uint32_t WeakSum(const uint8_t* data, size_t length);

}  // namespace tidewell

#endif  // TIDEWELL_DELTA_ROLLING_CHECKSUM_H_
