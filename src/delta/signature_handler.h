// Builds a signature file: a 12-byte header (magic, block size, strong-sum
// size) and one entry per block of the input, the weak sum then the first
// strong-sum-size bytes of the block's MD4. Format: docs/delta-format.md.

#ifndef TIDEWELL_DELTA_SIGNATURE_HANDLER_H_
#define TIDEWELL_DELTA_SIGNATURE_HANDLER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/ustring.h"
#include "delta/xio.h"

namespace tidewell {

// Signature builder; follows the handler protocol of copy_handler.h.
class SignatureHandler {
 public:
  // A block size of 0 keeps 2048; a strong-sum size outside 1..16 keeps 8.
  // A block size above kMaxBlockSize makes begin() fail.
  SignatureHandler(const ustring& path, uint32_t block_size, uint32_t hash_size);

  // Bytes of signature output for `length` bytes of input at most, counting
  // one partial block on each side.
  size_t getSignatureSize(size_t length) const;

  [[nodiscard]] int begin();
  [[nodiscard]] int update(const uint8_t* buffer, size_t length);
  [[nodiscard]] int wait();
  int end();

  // set at construction
  const ustring file;
  const uint32_t block_size;
  const uint32_t hash_size;

 private:
  // Appends entries for `count` whole blocks at `data`.
  void EmitBlocks(const uint8_t* data, size_t count);
  // Appends the entry of one block of `length` bytes.
  void EmitOne(const uint8_t* data, size_t length);

  std::vector<uint8_t> write_buffer;  // entries not yet written
  std::vector<uint8_t> read_buffer;   // the pending partial block
  size_t read_buffer_size = 0;
  std::vector<uint8_t> digests_;      // scratch for a batch of MD4s
  fd_t fd;
  fd_aio_t aio;                       // after the buffers: joins first
};

}  // namespace tidewell

#endif  // TIDEWELL_DELTA_SIGNATURE_HANDLER_H_
