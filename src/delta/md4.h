// MD4 message digest (RFC 1320), used for the strong sums of signature
// entries and for whole-file digests.
//
// MD4 is long broken as a cryptographic hash; here it only names content that
// both sides already agree on, and the file formats fix it. A local
// implementation avoids the per-call cost of the crypto library's legacy
// provider, which dominates for 2048-byte blocks.

#ifndef TIDEWELL_DELTA_MD4_H_
#define TIDEWELL_DELTA_MD4_H_

#include <cstddef>
#include <cstdint>

namespace tidewell {

constexpr size_t kMD4DigestSize = 16;

// Incremental MD4. Not thread-safe; one object per stream.
class MD4 {
 public:
  MD4() { Reset(); }

  // Starts a new message.
  void Reset();

  // Appends `length` bytes of message.
  void Update(const void* data, size_t length);

  // Finishes the message and writes the 16-byte digest to `digest`. The
  // object must be Reset() before it is used again.
  void Final(uint8_t digest[kMD4DigestSize]);

 private:
  uint32_t state_[4];
  uint64_t total_;     // message bytes so far
  uint8_t pending_[64];
  size_t pending_size_;
};

// One-shot digest of `length` bytes at `data`.
void MD4Digest(const void* data, size_t length, uint8_t digest[kMD4DigestSize]);

// Digests `count` messages of `length` bytes each; message i starts at
// data + i * stride and its digest goes to digests + i * kMD4DigestSize.
// Uses several SIMD lanes at once where the processor has them; the result is
// the same as calling MD4Digest on each message.
void MD4DigestMany(const uint8_t* data, size_t stride, size_t length, size_t count,
                   uint8_t* digests);

// Runs the 64-byte compression on `state` for `blocks` consecutive blocks.
// Exposed for the multi-lane code.
void MD4Compress(uint32_t state[4], const uint8_t* data, size_t blocks);

}  // namespace tidewell

#endif  // TIDEWELL_DELTA_MD4_H_
