// A signature file loaded for searching: its entries as read, plus an index
// of (weak sum, block) pairs grouped by a hash of the weak sum, with a bit
// filter in front so that most window positions of an unrelated file are
// rejected with one memory access.

#ifndef TIDEWELL_DELTA_SIGNATURE_INDEX_H_
#define TIDEWELL_DELTA_SIGNATURE_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/ustring.h"
#include "delta/md4.h"

namespace tidewell {

// One index entry: a block's weak sum and its number in the signature.
struct DeltaBlock {
  uint32_t weaksum;
  uint32_t index;
};

// Immutable after Load/Parse; safe to share between threads for reading.
class SignatureIndex {
 public:
  // Reads and indexes the signature file at `path`. 0, or -1 after printing
  // the reason to standard error (unreadable, bad magic, block size 0 or too
  // large, strong-sum size outside 1..16, a body that is not a whole number
  // of entries).
  [[nodiscard]] int Load(const ustring& path);

  // The same for a signature held in memory.
  [[nodiscard]] int Parse(const uint8_t* data, size_t size);

  uint32_t block_size() const { return block_size_; }
  uint32_t hash_size() const { return hash_size_; }
  uint32_t block_count() const { return block_count_; }

  uint32_t weak(uint32_t block) const;
  // The first hash_size() bytes of the block's MD4.
  const uint8_t* strong(uint32_t block) const {
    return sig_body_.data() + static_cast<size_t>(block) * (hash_size_ + 4) + 4;
  }

  // False when no block has weak sum `weak`; true means "maybe". A blocked
  // Bloom filter: two bits of one 64-bit word per weak sum, which keeps
  // false hits for unrelated data near 0.5% at one memory access.
  bool MayContain(uint32_t weak) const {
    const uint64_t mask = FilterMask(weak);
    return (filter_[FilterWord(weak)] & mask) == mask;
  }

  // The index entries that may have weak sum `weak`, as [*begin, *end):
  // those that do have it are contiguous there, in ascending block order.
  // Entries are grouped by a hash of the weak sum, so a lookup touches one
  // small group instead of bisecting the whole index.
  void Candidates(uint32_t weak, const DeltaBlock** begin, const DeltaBlock** end) const {
    const uint32_t h = (weak * 0x9E3779B1u) >> bucket_shift_;
    *begin = sig_stat_.data() + bucket_start_[h];
    *end = sig_stat_.data() + bucket_start_[h + 1];
  }
  const std::vector<DeltaBlock>& sig_stat() const { return sig_stat_; }

  // Memory held, in bytes.
  size_t MemoryUsage() const;

 private:
  size_t FilterWord(uint32_t weak) const { return (weak * 0x9E3779B1u) >> filter_shift_; }
  static uint64_t FilterMask(uint32_t weak) {
    const uint32_t h = weak * 0x85EBCA6Bu;
    return (uint64_t{1} << (h >> 26)) | (uint64_t{1} << ((h >> 20) & 63));
  }

  int ParseHeader(const uint8_t* header);
  int ParseBody(size_t body_size);

  uint32_t block_size_ = 0;
  uint32_t hash_size_ = 0;
  uint32_t block_count_ = 0;
  std::vector<uint8_t> sig_body_;      // the entries, as read
  std::vector<DeltaBlock> sig_stat_;   // sorted by (bucket, weaksum, index)
  std::vector<uint32_t> bucket_start_; // first entry of each bucket, and the end
  uint32_t bucket_shift_ = 32;
  std::vector<uint64_t> filter_;       // blocked Bloom filter of weak sums
  uint32_t filter_shift_ = 31;         // selects the word; below 32
};

}  // namespace tidewell

#endif  // TIDEWELL_DELTA_SIGNATURE_INDEX_H_
