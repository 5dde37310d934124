#include "delta/signature_index.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "delta/delta_format.h"
#include "delta/xio.h"
#include "delta/diagnostics.h"

namespace tidewell {

uint32_t SignatureIndex::weak(uint32_t block) const {
  return static_cast<uint32_t>(
      GetBigEndian(sig_body_.data() + static_cast<size_t>(block) * (hash_size_ + 4), 4));
}

int SignatureIndex::ParseHeader(const uint8_t* header) {
  if (GetBigEndian(header, 4) != kSignatureMagic) {
    DeltaDiagnostic("api (%d): invalid signature header", __LINE__);
    return -1;
  }
  block_size_ = static_cast<uint32_t>(GetBigEndian(header + 4, 4));
  hash_size_ = static_cast<uint32_t>(GetBigEndian(header + 8, 4));
  if (block_size_ == 0 || block_size_ > kMaxBlockSize) {
    DeltaDiagnostic("api (%d): invalid signature block size", __LINE__);
    return -1;
  }
  if (hash_size_ < 1 || hash_size_ > kMaxHashSize) {
    DeltaDiagnostic("api (%d): invalid signature hash size", __LINE__);
    return -1;
  }
  return 0;
}

int SignatureIndex::ParseBody(size_t body_size) {
  const size_t entry = hash_size_ + 4;
  // Trailing bytes that are not a whole entry mean a damaged or cut file;
  // ignoring them would build a delta against the wrong basis.
  if (body_size % entry != 0) {
    DeltaDiagnostic("api (%d): invalid signature size", __LINE__);
    return -1;
  }
  if (body_size / entry > UINT32_MAX) {
    DeltaDiagnostic("api (%d): invalid signature size", __LINE__);
    return -1;
  }
  block_count_ = static_cast<uint32_t>(body_size / entry);
  // Buckets: about one per block, addressed by the top bits of a
  // multiplicative hash. Filter: about 32 bits per block.
  uint32_t buckets_log2 = 1;  // keeps the shift below 32
  while (buckets_log2 < 24 && (uint64_t{1} << buckets_log2) < block_count_) ++buckets_log2;
  bucket_shift_ = 32 - buckets_log2;
  uint32_t bits_log2 = 10;
  while (bits_log2 < 27 && (uint64_t{1} << bits_log2) < uint64_t{block_count_} * 32) ++bits_log2;
  filter_shift_ = 32 - (bits_log2 - 6);  // the word index takes bits_log2 - 6 bits
  const uint32_t shift = bucket_shift_;
  auto bucket = [shift](uint32_t weak) -> uint32_t { return (weak * 0x9E3779B1u) >> shift; };
  sig_stat_.resize(block_count_);
  for (uint32_t i = 0; i < block_count_; ++i) sig_stat_[i] = {weak(i), i};
  std::sort(sig_stat_.begin(), sig_stat_.end(),
            [&bucket](const DeltaBlock& x, const DeltaBlock& y) {
              const uint32_t bx = bucket(x.weaksum), by = bucket(y.weaksum);
              if (bx != by) return bx < by;
              return x.weaksum != y.weaksum ? x.weaksum < y.weaksum : x.index < y.index;
            });
  const size_t bucket_count = size_t{1} << buckets_log2;
  bucket_start_.assign(bucket_count + 1, 0);
  for (const DeltaBlock& b : sig_stat_) ++bucket_start_[bucket(b.weaksum) + 1];
  for (size_t i = 1; i <= bucket_count; ++i) bucket_start_[i] += bucket_start_[i - 1];
  filter_.assign((size_t{1} << bits_log2) / 64, 0);
  for (const DeltaBlock& b : sig_stat_) filter_[FilterWord(b.weaksum)] |= FilterMask(b.weaksum);
  return 0;
}

int SignatureIndex::Parse(const uint8_t* data, size_t size) {
  if (size < kSignatureHeaderSize) {
    DeltaDiagnostic("api (%d): invalid signature header", __LINE__);
    return -1;
  }
  if (ParseHeader(data) != 0) return -1;
  sig_body_.assign(data + kSignatureHeaderSize, data + size);
  return ParseBody(size - kSignatureHeaderSize);
}

int SignatureIndex::Load(const ustring& path) {
  fd_t fd;
  if (fd_open_read(path, &fd) != 0) return -1;
  uint64_t size = 0;
  if (fd_stat(&fd, &size) != 0) return -1;
  uint8_t header[kSignatureHeaderSize];
  if (size < kSignatureHeaderSize ||
      fd_pread(&fd, header, sizeof header, 0) != static_cast<int64_t>(sizeof header)) {
    DeltaDiagnostic("api (%d): invalid signature header", __LINE__);
    return -1;
  }
  if (ParseHeader(header) != 0) return -1;
  const uint64_t body = size - kSignatureHeaderSize;
  if (body > SIZE_MAX / 2) {
    DeltaDiagnostic("api (%d): invalid signature size", __LINE__);
    return -1;
  }
  sig_body_.resize(static_cast<size_t>(body));
  const int64_t n = fd_pread(&fd, sig_body_.data(), sig_body_.size(), kSignatureHeaderSize);
  if (n != static_cast<int64_t>(body)) {
    // The file shrank under us, or a read failed.
    DeltaDiagnostic("api (%d): signature read failed", __LINE__);
    return -1;
  }
  return ParseBody(static_cast<size_t>(body));
}

size_t SignatureIndex::MemoryUsage() const {
  return sig_body_.capacity() + sig_stat_.capacity() * sizeof(DeltaBlock) +
         filter_.capacity() * sizeof(uint64_t) + bucket_start_.capacity() * sizeof(uint32_t);
}

}  // namespace tidewell
