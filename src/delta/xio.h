// The delta engine's small file layer: plain handles, appending writes that
// run in the background while the caller prepares the next piece, and
// (in buffer.h) buffered reads and writes.
//
// Failures print one line to standard error ("xio (<line>): <call>: Error
// Code <errno>") and return -1; the engine has no logger of its own.

#ifndef TIDEWELL_DELTA_XIO_H_
#define TIDEWELL_DELTA_XIO_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "base/ustring.h"

namespace tidewell {

// An open file, or none (handle -1). Owns the descriptor: it is closed when
// the object goes away. Not thread-safe.
struct fd_t {
  int handle = -1;

  fd_t() = default;
  ~fd_t();
  fd_t(const fd_t&) = delete;
  fd_t& operator=(const fd_t&) = delete;
};

// Opens an existing file for reading, hinting sequential access. 0 or -1.
[[nodiscard]] int fd_open_read(const ustring& path, fd_t* fd);
// Creates or truncates a file for writing; every write appends at the
// current end (the engine's outputs are written front to back). 0 or -1.
[[nodiscard]] int fd_open_write(const ustring& path, fd_t* fd);
// Reads up to `length` bytes at the current position; the count, 0 at end of
// file, -1 on failure.
[[nodiscard]] int64_t fd_read(fd_t* fd, void* buffer, size_t length);
// Reads up to `length` bytes at `offset` without moving the position; loops
// over short reads. The count (less than `length` only at end of file), -1.
[[nodiscard]] int64_t fd_pread(fd_t* fd, void* buffer, size_t length, uint64_t offset);
// Moves to the absolute position `offset`. 0 or -1.
[[nodiscard]] int fd_seek(fd_t* fd, uint64_t offset);
// Stores the file's size in `size`. 0 or -1.
[[nodiscard]] int fd_stat(fd_t* fd, uint64_t* size);
// Flushes the file's data to disk. 0 or -1.
[[nodiscard]] int fd_sync(fd_t* fd);
// Closes the file (if open) and marks it not open. 0 or -1.
int fd_close(fd_t* fd);
bool fd_is_open(const fd_t* fd);
// Appends `length` bytes and waits for them. The count or -1.
[[nodiscard]] int64_t fd_write(fd_t* fd, const void* buffer, size_t length);
// Appends `length` bytes of `in`, from `offset`, to `out` inside the kernel
// (no copy through user memory). The count, short only at the end of `in`;
// -1 with errno set on failure. EXDEV, EINVAL, ENOSYS and EOPNOTSUPP mean
// the files cannot be copied this way (and nothing was written): the caller
// copies through a buffer instead. Nothing is printed.
[[nodiscard]] int64_t fd_copy_range(fd_t* out, fd_t* in, uint64_t offset, size_t length);

// One appending write in flight at a time, for one output file. Large writes
// run on a helper thread (started on first use and ended by the destructor)
// so that producing the next piece overlaps with the kernel copying this
// one; small writes are not worth a thread hand-off and run at once.
// The object may be used by one thread; its helper is internal.
class fd_aio_t {
 public:
  fd_aio_t() = default;
  ~fd_aio_t();
  fd_aio_t(const fd_aio_t&) = delete;
  fd_aio_t& operator=(const fd_aio_t&) = delete;

  // Writes at or above this size go to the helper thread.
  static constexpr size_t kBackgroundMin = 64 * 1024;

 private:
  friend int fd_aio_write(fd_aio_t* aio, fd_t* fd, const void* buffer, size_t length);
  friend int64_t fd_aio_wait(fd_aio_t* aio);
  void Run();

  std::thread thread_;  // started lazily by the first large write
  std::mutex mu_;
  std::condition_variable cv_;
  // guarded by mu_
  bool in_flight_ = false;   // a write was started and not yet waited for
  bool queued_ = false;      // the helper has a write to do
  bool stopping_ = false;
  int file_ = -1;
  const uint8_t* data_ = nullptr;
  size_t length_ = 0;
  int64_t result_ = 0;
  int error_ = 0;
};

// Starts appending `length` bytes of `buffer` to `fd`. The buffer must stay
// untouched until fd_aio_wait returns. 0 when started, -1 when the write
// could not be started (including when one is already in flight).
[[nodiscard]] int fd_aio_write(fd_aio_t* aio, fd_t* fd, const void* buffer, size_t length);
// Waits for the write in flight; the bytes written, or -1 when it failed or
// wrote short. With nothing in flight: 0.
[[nodiscard]] int64_t fd_aio_wait(fd_aio_t* aio);

}  // namespace tidewell

#endif  // TIDEWELL_DELTA_XIO_H_
