// Readers drive one pass over input through a set of output handlers: copy
// the bytes to a file, digest them, sign them, and build a delta of them
// against a signature, all at once.

#ifndef TIDEWELL_DELTA_FILE_READER_H_
#define TIDEWELL_DELTA_FILE_READER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/ustring.h"
#include "delta/copy_handler.h"
#include "delta/delta_format.h"
#include "delta/delta_handler.h"
#include "delta/signature_handler.h"

namespace tidewell {

// Base of the readers: holds the handlers and fans each step out to them.
// Configure, call readFile() once, destroy. Used by one thread; only the
// abort flag may be raised from another.
class FileReader {
 public:
  FileReader() = default;
  virtual ~FileReader() = default;
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // While *flag is non-zero, readFile() stops with -4 before its next piece.
  // The flag is the caller's and must outlive readFile(); null turns it off.
  void setAbortFlag(const std::atomic<int>* flag) { abort_flag = flag; }
  void setCopyHandler(const ustring& path);
  // `result` receives the MD4 of the input as 32 hexadecimal characters at
  // the end; it must outlive readFile().
  void setMD4HashHandler(ustring* result);
  void setSignatureHandler(const ustring& path, uint32_t block_size, uint32_t hash_size);
  void setDeltaHandler(const ustring& delta_path, const ustring& signature_path);

  // Run one step on every handler that is set, in the order copy, delta,
  // signature, digest. 0, or -3 if any handler failed (blaming the
  // signature when the delta handler could not load it, else the output).
  // end() runs on every handler even after one failed.
  [[nodiscard]] int begin();
  [[nodiscard]] int update(const uint8_t* buffer, size_t length);
  [[nodiscard]] int wait();
  [[nodiscard]] int end();

  // Reads the input through the handlers. 0 or a negative DeltaResult.
  [[nodiscard]] virtual int readFile() = 0;

  // What the first failure of readFile() blames; kNone after success.
  DeltaFault fault() const { return fault_; }

  // Handlers, for callers that want their results (may be null).
  const MD4HashHandler* md4_hash() const { return md4_hash_handler.get(); }
  const DeltaHandler* delta() const { return delta_handler.get(); }

 protected:
  bool Aborted() const { return abort_flag != nullptr && abort_flag->load(std::memory_order_relaxed) != 0; }
  // Blames the signature or the output for a failed handler step;
  // DELTA_ERR_HANDLER.
  int HandlerFailed();
  // Records `fault` unless an earlier one is recorded.
  void Blame(DeltaFault fault) {
    if (fault_ == DeltaFault::kNone) fault_ = fault;
  }

  const std::atomic<int>* abort_flag = nullptr;
  std::unique_ptr<CopyHandler> copy_handler;
  std::unique_ptr<MD4HashHandler> md4_hash_handler;
  std::unique_ptr<SignatureHandler> signature_handler;
  std::unique_ptr<DeltaHandler> delta_handler;

 private:
  DeltaFault fault_ = DeltaFault::kNone;
};

// Reads one existing file through the handlers.
class SimpleFileReader : public FileReader {
 public:
  void setFile(const ustring& path) { file = path; }
  void setCopyFile(const ustring& path) { setCopyHandler(path); }
  void setHashString(ustring* result) { setMD4HashHandler(result); }
  void setSignature(const ustring& path, uint32_t block_size, uint32_t hash_size) {
    setSignatureHandler(path, block_size, hash_size);
  }
  void setDelta(const ustring& delta_path, const ustring& signature_path) {
    setDeltaHandler(delta_path, signature_path);
  }

  // 0; -1 no input path; -2 the input cannot be opened or read; -3 a
  // handler failed (including at the end); -4 aborted. Outputs of a failed
  // run are left as far as they got.
  [[nodiscard]] int readFile() override;

 private:
  ustring file;
};

}  // namespace tidewell

#endif  // TIDEWELL_DELTA_FILE_READER_H_
