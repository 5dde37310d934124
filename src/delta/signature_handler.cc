#include "delta/signature_handler.h"

#include <cstdio>
#include <cstring>

#include "delta/delta_format.h"
#include "delta/md4.h"
#include "delta/rolling_checksum.h"
#include "delta/diagnostics.h"

namespace tidewell {

SignatureHandler::SignatureHandler(const ustring& path, uint32_t block, uint32_t hash)
    : file(path),
      block_size(block == 0 ? kDefaultBlockSize : block),
      hash_size(hash >= 1 && hash <= kMaxHashSize ? hash : kDefaultHashSize) {}

size_t SignatureHandler::getSignatureSize(size_t length) const {
  return (length / block_size + 2) * (hash_size + 4);
}

int SignatureHandler::begin() {
  if (block_size > kMaxBlockSize) {
    DeltaDiagnostic("api (%d): invalid signature block size", __LINE__);
    return -1;
  }
  read_buffer.assign(2 * static_cast<size_t>(block_size), 0);
  read_buffer_size = 0;
  write_buffer.clear();
  if (fd_open_write(file, &fd) != 0) return -1;
  uint8_t header[kSignatureHeaderSize];
  PutBigEndian(header, kSignatureMagic, 4);
  PutBigEndian(header + 4, block_size, 4);
  PutBigEndian(header + 8, hash_size, 4);
  if (fd_write(&fd, header, sizeof header) < 0) return -1;
  return 0;
}

void SignatureHandler::EmitOne(const uint8_t* data, size_t length) {
  uint8_t entry[4 + kMD4DigestSize];
  PutBigEndian(entry, WeakSum(data, length), 4);
  MD4Digest(data, length, entry + 4);
  write_buffer.insert(write_buffer.end(), entry, entry + 4 + hash_size);
}

void SignatureHandler::EmitBlocks(const uint8_t* data, size_t count) {
  // The strong sums of a batch of blocks are computed side by side.
  constexpr size_t kBatch = 64;
  digests_.resize(kBatch * kMD4DigestSize);
  while (count > 0) {
    const size_t n = count < kBatch ? count : kBatch;
    MD4DigestMany(data, block_size, block_size, n, digests_.data());
    const size_t at = write_buffer.size();
    write_buffer.resize(at + n * (4 + hash_size));
    uint8_t* out = write_buffer.data() + at;
    for (size_t i = 0; i < n; ++i, out += 4 + hash_size) {
      PutBigEndian(out, WeakSum(data + i * block_size, block_size), 4);
      memcpy(out + 4, digests_.data() + i * kMD4DigestSize, hash_size);
    }
    data += n * block_size;
    count -= n;
  }
}

int SignatureHandler::update(const uint8_t* buffer, size_t length) {
  if (!fd_is_open(&fd)) return -1;
  if (length == 0) return 0;
  write_buffer.reserve(getSignatureSize(length));
  if (read_buffer_size > 0) {
    size_t take = block_size - read_buffer_size;
    if (take > length) take = length;
    memcpy(read_buffer.data() + read_buffer_size, buffer, take);
    read_buffer_size += take;
    buffer += take;
    length -= take;
    if (read_buffer_size < block_size) return 0;
    EmitOne(read_buffer.data(), block_size);
    read_buffer_size = 0;
  }
  const size_t whole = length / block_size;
  EmitBlocks(buffer, whole);
  const size_t rest = length - whole * block_size;
  if (rest > 0) memcpy(read_buffer.data(), buffer + whole * block_size, rest);
  read_buffer_size = rest;
  if (write_buffer.empty()) return 0;
  return fd_aio_write(&aio, &fd, write_buffer.data(), write_buffer.size());
}

int SignatureHandler::wait() {
  const int64_t n = fd_aio_wait(&aio);
  write_buffer.clear();
  return n < 0 ? -1 : 0;
}

int SignatureHandler::end() {
  int rc = wait();
  if (!fd_is_open(&fd)) return -1;
  if (rc == 0 && read_buffer_size > 0) {
    EmitOne(read_buffer.data(), read_buffer_size);
    read_buffer_size = 0;
    if (fd_write(&fd, write_buffer.data(), write_buffer.size()) < 0) rc = -1;
    write_buffer.clear();
  }
  if (fd_close(&fd) != 0) rc = -1;
  return rc;
}

}  // namespace tidewell
