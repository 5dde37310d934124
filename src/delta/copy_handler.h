// Output handlers share one protocol, driven by a FileReader over one pass of
// input: begin(), then update(buffer, length) and wait() per piece, then
// end(). Each returns 0 or -1. Between update() and wait() the piece must
// stay untouched, because its output may still be being written. A handler's
// output is complete only after end(). Handlers are used by one thread.

#ifndef TIDEWELL_DELTA_COPY_HANDLER_H_
#define TIDEWELL_DELTA_COPY_HANDLER_H_

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/ustring.h"
#include "delta/md4.h"
#include "delta/xio.h"

namespace tidewell {

// Writes the input unchanged to `file`.
class CopyHandler {
 public:
  explicit CopyHandler(const ustring& path) : file(path) {}

  [[nodiscard]] int begin();  // creates or truncates the output
  [[nodiscard]] int update(const uint8_t* buffer, size_t length);
  [[nodiscard]] int wait();
  int end();  // waits for any write in flight and closes

  // Appends `length` bytes of `in` from `offset` without passing them
  // through memory, after any write in flight. The count (short only at the
  // end of `in`), or -1 with errno set; see fd_copy_range for the errors
  // that mean "copy through a buffer instead".
  [[nodiscard]] int64_t copyRange(fd_t* in, uint64_t offset, size_t length);

  // set at construction
  const ustring file;
  // owned
  fd_t fd;
  fd_aio_t aio;
};

// The MD4 digest of the input as 32 lower-case hexadecimal characters.
class MD4HashHandler {
 public:
  // `result`, when not null, receives the digest text at end(); it must
  // outlive the handler's end().
  explicit MD4HashHandler(ustring* result_string) : result_string(result_string) {}

  int begin();
  int update(const uint8_t* buffer, size_t length);
  int wait() { return 0; }
  int end();

  // The digest text after end(); empty before.
  const ustring& getResult() const { return text_; }

  MD4 mdfour;
  std::array<uint8_t, kMD4DigestSize> result{};
  ustring* const result_string;

 private:
  ustring text_;
};

}  // namespace tidewell

#endif  // TIDEWELL_DELTA_COPY_HANDLER_H_
