// Collects the basis ranges that a patch copied, so that a delta going the
// other way (new file back to basis) can be written afterwards: each copied
// range becomes a copy from the new file, everything else of the basis a
// literal.

#ifndef TIDEWELL_DELTA_REVERSE_DELTA_H_
#define TIDEWELL_DELTA_REVERSE_DELTA_H_

#include <cstdint>
#include <map>

#include "base/ustring.h"
#include "delta/delta_format.h"
#include "delta/xio.h"

namespace tidewell {

// A basis range [start, start + length) that sits at new_start in the new file.
struct Block {
  uint64_t start;
  uint64_t length;
  uint64_t new_start;
};

// Not thread-safe.
class ReverseDelta {
 public:
  // Records that basis [start, start + length) was copied to new_start. The
  // newest record wins where ranges overlap, so every basis byte is covered
  // at most once; older blocks are trimmed, split or removed.
  void AddCopy(uint64_t start, uint64_t length, uint64_t new_start);

  // Writes the reverse delta to `path`, reading uncovered basis bytes from
  // `basis` (of `basis_size` bytes). 0, or -2 after printing the reason.
  // On failure `fault` (may be null) says whether the basis could not be
  // read (kBasis) or the output not written (kOutput).
  [[nodiscard]] int Write(const ustring& path, fd_t* basis, uint64_t basis_size,
                          DeltaFault* fault = nullptr) const;

  // The blocks, ordered by basis start.
  const std::map<uint64_t, Block>& blocks() const { return blocks_; }

 private:
  std::map<uint64_t, Block> blocks_;  // keyed by start
};

}  // namespace tidewell

#endif  // TIDEWELL_DELTA_REVERSE_DELTA_H_
