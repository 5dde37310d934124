// Builds a delta file: reads the new file's bytes against a basis file's
// signature and writes copy commands for the blocks found in the basis and
// literal commands for everything else. Format: docs/delta-format.md.

#ifndef TIDEWELL_DELTA_DELTA_HANDLER_H_
#define TIDEWELL_DELTA_DELTA_HANDLER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/ustring.h"
#include "delta/md4.h"
#include "delta/rolling_checksum.h"
#include "delta/signature_index.h"
#include "delta/xio.h"

namespace tidewell {

// Delta builder; follows the handler protocol of copy_handler.h.
//
// At every byte position it compares a block-sized window of the new file
// with the signature: weak sum first, then MD4. A run of consecutive basis
// blocks becomes one copy command; a candidate block is only the first one
// (lowest block number) whose weak and strong sums both match.
class DeltaHandler {
 public:
  DeltaHandler(const ustring& delta_path, const ustring& signature_path)
      : delta_file(delta_path), signature_file(signature_path) {}

  // Loads the signature and starts the delta file. -1 on any failure.
  [[nodiscard]] int begin();
  [[nodiscard]] int update(const uint8_t* buffer, size_t length);
  [[nodiscard]] int wait();
  // Finishes the delta: the last run, the unmatched tail, the end command.
  int end();

  // Whether begin() failed because the signature could not be loaded.
  bool signature_failed() const { return signature_failed_; }

  // Memory held by the loaded signature, in bytes (0 before begin()).
  size_t SignatureMemory() const { return index_.MemoryUsage(); }

  // set at construction
  const ustring delta_file;
  const ustring signature_file;

 private:
  static constexpr size_t kNone = SIZE_MAX;

  // Scans read_buffer from read_head_ as far as whole windows reach.
  void Scan();
  // Whether the window at `pos` (whose weak sum `checksum` holds) matches;
  // opens, extends or closes the current run as a side effect.
  bool matchBlock(size_t pos);
  // The window's strong sum, computed at most once per position.
  const uint8_t* WindowStrong(size_t pos);
  // The same for a window that should continue the open run: the windows
  // that would continue it further are digested alongside, several lanes at
  // once, since a run usually goes on.
  const uint8_t* RunWindowStrong(size_t pos, uint32_t blocks_left);
  void CloseRun();
  void FlushLiteral(size_t end);
  void AppendLiteral(const uint8_t* data, size_t length);

  SignatureIndex index_;
  uint32_t block_size = 0;
  uint32_t hash_size = 0;

  std::vector<uint8_t> read_buffer;
  size_t read_head_ = 0;       // start of the current window
  std::vector<uint8_t> write_buffer;

  uint32_t match_start = 0;    // first basis block of the open run
  uint32_t match_count = 0;    // blocks in the open run; 0 = none
  size_t mismatch_start = kNone;  // start of pending literal bytes
  RSRollingChecksum checksum;

  size_t strong_pos_ = kNone;  // position whose MD4 strong_ holds
  uint8_t strong_[kMD4DigestSize];
  static constexpr size_t kAhead = 16;
  size_t ahead_pos_ = 0;       // ahead_[k] is the MD4 of the window at
  size_t ahead_count_ = 0;     // ahead_pos_ + k * block_size, k < ahead_count_
  uint8_t ahead_[kAhead * kMD4DigestSize];

  bool begun_ = false;
  bool signature_failed_ = false;
  fd_t fd;
  fd_aio_t aio;                // after the buffers: joins first
};

}  // namespace tidewell

#endif  // TIDEWELL_DELTA_DELTA_HANDLER_H_
