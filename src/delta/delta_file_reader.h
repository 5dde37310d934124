// Applies a delta file to a basis file and feeds the rebuilt file through
// the output handlers (write it, digest it, sign it), optionally recording a
// reverse delta that turns the rebuilt file back into the basis.

#ifndef TIDEWELL_DELTA_DELTA_FILE_READER_H_
#define TIDEWELL_DELTA_DELTA_FILE_READER_H_

#include <cstdint>
#include <memory>

#include "base/ustring.h"
#include "delta/file_reader.h"

namespace tidewell {

class DeltaFileReaderImpl;

// Patch reader. Configure, call readFile() once, destroy. Used by one thread.
class DeltaFileReader : public FileReader {
 public:
  DeltaFileReader();
  ~DeltaFileReader() override;

  void setFile(const ustring& patch_file, const ustring& basis_file);
  // Writes the rebuilt file to `path`.
  void setNewFile(const ustring& path) { setCopyHandler(path); }
  void setHashString(ustring* result) { setMD4HashHandler(result); }
  void setSignature(const ustring& path, uint32_t block_size, uint32_t hash_size) {
    setSignatureHandler(path, block_size, hash_size);
  }
  void setReverseDeltaFile(const ustring& path);

  // 0 after the end command; -1 bad arguments; -2 I/O failure, a command cut
  // short, or a copy beyond the end of the basis; -3 a handler failed; -4
  // aborted (checked at least once per MiB); -5 not a delta file or a
  // reserved opcode. Outputs of a failed run are incomplete; the reverse
  // delta is only written after a successful patch.
  [[nodiscard]] int readFile() override;

 private:
  std::unique_ptr<DeltaFileReaderImpl> impl;
};

}  // namespace tidewell

#endif  // TIDEWELL_DELTA_DELTA_FILE_READER_H_
