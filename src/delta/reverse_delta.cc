#include "delta/reverse_delta.h"

#include <cerrno>
#include <cstdio>
#include <vector>

#include "delta/buffer.h"
#include "delta/delta_format.h"
#include "delta/diagnostics.h"

namespace tidewell {

void ReverseDelta::AddCopy(uint64_t start, uint64_t length, uint64_t new_start) {
  if (length == 0) return;
  const uint64_t end = start + length;
  // A block that begins before `start` and reaches into the new range keeps
  // its head; if it also reaches past `end`, its tail survives as a block of
  // its own.
  auto it = blocks_.lower_bound(start);
  if (it != blocks_.begin()) {
    auto prev = std::prev(it);
    Block& b = prev->second;
    const uint64_t b_end = b.start + b.length;
    if (b_end > start) {
      if (b_end > end) {
        const uint64_t skip = end - b.start;
        blocks_[end] = Block{end, b_end - end, b.new_start + skip};
      }
      b.length = start - b.start;
    }
  }
  // Blocks that begin inside the new range lose their head or vanish.
  it = blocks_.lower_bound(start);
  while (it != blocks_.end() && it->first < end) {
    const Block b = it->second;
    it = blocks_.erase(it);
    const uint64_t b_end = b.start + b.length;
    if (b_end > end) {
      const uint64_t skip = end - b.start;
      blocks_[end] = Block{end, b_end - end, b.new_start + skip};
      break;
    }
  }
  blocks_[start] = Block{start, length, new_start};
}

namespace {

int WriteBytes(fd_bio_t* bio, const void* data, size_t length) {
  if (fd_bio_write(bio, data, length) != 0) {
    DeltaDiagnostic("api (%d): fd_bio_write: Error Code %d", __LINE__, errno);
    return DELTA_ERR_IO;
  }
  return DELTA_OK;
}

// A literal of basis bytes [from, to).
int WriteBasisLiteral(fd_bio_t* bio, fd_t* basis, uint64_t from, uint64_t to,
                      std::vector<uint8_t>* piece, DeltaFault* fault) {
  if (to <= from) return DELTA_OK;
  uint8_t header[9];
  const size_t n = EncodeLiteralHeader(to - from, header);
  if (WriteBytes(bio, header, n) != DELTA_OK) return DELTA_ERR_IO;
  while (from < to) {
    const size_t want = to - from < piece->size() ? static_cast<size_t>(to - from) : piece->size();
    const int64_t got = fd_pread(basis, piece->data(), want, from);
    if (got != static_cast<int64_t>(want)) {
      DeltaDiagnostic("api (%d): fd_read: length = %u, return code = %d", __LINE__,
              static_cast<unsigned>(want), static_cast<int>(got));
      *fault = DeltaFault::kBasis;
      return DELTA_ERR_IO;
    }
    if (WriteBytes(bio, piece->data(), want) != DELTA_OK) return DELTA_ERR_IO;
    from += want;
  }
  return DELTA_OK;
}

}  // namespace

int ReverseDelta::Write(const ustring& path, fd_t* basis, uint64_t basis_size, DeltaFault* fault) const {
  DeltaFault ignored;
  if (fault == nullptr) fault = &ignored;
  *fault = DeltaFault::kOutput;  // unless a basis read says otherwise
  fd_t out;
  if (fd_open_write(path, &out) != 0) {
    DeltaDiagnostic("api (%d): fd_open_write: Error Code %d", __LINE__, errno);
    return DELTA_ERR_IO;
  }
  fd_bio_t bio;
  if (fd_bio_load(&bio, &out, kChunkSize) != 0) return DELTA_ERR_IO;
  std::vector<uint8_t> piece(kChunkSize);
  uint8_t magic[4];
  PutBigEndian(magic, kDeltaMagic, 4);
  int rc = WriteBytes(&bio, magic, sizeof magic);
  uint64_t at = 0;
  for (auto it = blocks_.begin(); rc == DELTA_OK && it != blocks_.end(); ++it) {
    const Block& b = it->second;
    rc = WriteBasisLiteral(&bio, basis, at, b.start, &piece, fault);
    if (rc != DELTA_OK) break;
    uint8_t command[17];
    rc = WriteBytes(&bio, command, EncodeCopy(b.new_start, b.length, command));
    at = b.start + b.length;
  }
  if (rc == DELTA_OK) rc = WriteBasisLiteral(&bio, basis, at, basis_size, &piece, fault);
  const uint8_t end = kOpEnd;
  if (rc == DELTA_OK) rc = WriteBytes(&bio, &end, 1);
  if (rc == DELTA_OK && fd_bio_flush(&bio) != 0) {
    DeltaDiagnostic("api (%d): fd_bio_write: Error Code %d", __LINE__, errno);
    rc = DELTA_ERR_IO;
  }
  fd_bio_unload(&bio);
  if (fd_close(&out) != 0 && rc == DELTA_OK) rc = DELTA_ERR_IO;
  if (rc == DELTA_OK) *fault = DeltaFault::kNone;
  return rc;
}

}  // namespace tidewell
