// A byte ring buffer and the buffered reader/writer built on it, used for
// the delta file a patch consumes and the reverse delta it produces.

#ifndef TIDEWELL_DELTA_BUFFER_H_
#define TIDEWELL_DELTA_BUFFER_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "delta/xio.h"

namespace tidewell {

// Ring buffer of bytes: `size` bytes held starting at index `head`, possibly
// wrapping past the end of `data`. Not thread-safe.
struct buffer_t {
  // A buffer of `capacity` bytes; 0 means 8,192.
  explicit buffer_t(size_t capacity = 0);

  std::unique_ptr<uint8_t[]> data;
  size_t capacity = 0;
  size_t size = 0;
  size_t head = 0;
};

// Grows an empty buffer to `capacity` bytes. 0, or -1 when it holds data.
[[nodiscard]] int buffer_resize(buffer_t* buffer, size_t capacity);

// A file with a read buffer and a write buffer in front of it. Reads and
// writes are meant for different files: one fd_bio_t either reads or writes.
struct fd_bio_t {
  fd_t* fd = nullptr;  // not owned
  std::unique_ptr<buffer_t> w_buffer;
  std::unique_ptr<buffer_t> r_buffer;
};

// Attaches buffers of `capacity` bytes to `fd`. 0 or -1.
[[nodiscard]] int fd_bio_load(fd_bio_t* bio, fd_t* fd, size_t capacity);
// Frees the buffers (unwritten bytes are dropped: flush first).
void fd_bio_unload(fd_bio_t* bio);
// Delivers exactly `length` bytes. 0, or -1 when the file ended or failed
// first (what was delivered then is unspecified).
[[nodiscard]] int fd_bio_read(fd_bio_t* bio, void* buffer, size_t length);
// Queues `length` bytes for writing. 0 or -1.
[[nodiscard]] int fd_bio_write(fd_bio_t* bio, const void* buffer, size_t length);
// Writes out everything queued. 0 or -1.
[[nodiscard]] int fd_bio_flush(fd_bio_t* bio);

}  // namespace tidewell

#endif  // TIDEWELL_DELTA_BUFFER_H_
