#include "delta/xio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "delta/diagnostics.h"
#include "platform/fault_seam.h"
#include "platform/fd_io.h"

namespace tidewell {

namespace {

void Report(int line, const char* call, int error) {
  DeltaDiagnostic("xio (%d): %s: Error Code %d", line, call, error);
}

// Appends everything (the platform's WriteAll). 0, or the errno of the
// failure.
int AppendAll(int file, const uint8_t* data, size_t length, int64_t* written) {
  size_t done = 0;
  const int rc = WriteAll(file, data, length, WaitLimits{}, &done);
  *written = static_cast<int64_t>(done);
  return rc == kWriteOk ? 0 : errno;
}

}  // namespace

fd_t::~fd_t() { fd_close(this); }

int fd_open_read(const ustring& path, fd_t* fd) {
  fd_close(fd);
  const int h = ::open(path.c_str_utf8(), O_RDONLY | O_CLOEXEC);
  if (h < 0) {
    Report(__LINE__, "CreateFile", errno);
    return -1;
  }
  // Only a hint; failure changes nothing.
  (void)posix_fadvise(h, 0, 0, POSIX_FADV_SEQUENTIAL);
  fd->handle = h;
  return 0;
}

int fd_open_write(const ustring& path, fd_t* fd) {
  fd_close(fd);
  const int h = ::open(path.c_str_utf8(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (h < 0) {
    Report(__LINE__, "CreateFile", errno);
    return -1;
  }
  // Truncate only what has content: on ext4 a truncation to zero marks the
  // file for a forced flush when it is closed, which costs a fresh (empty)
  // output file a synchronous write-out for nothing.
  struct stat st;
  if (::fstat(h, &st) != 0 || (st.st_size != 0 && ::ftruncate(h, 0) != 0)) {
    Report(__LINE__, "CreateFile", errno);
    ::close(h);
    return -1;
  }
  fd->handle = h;
  return 0;
}

int64_t fd_read(fd_t* fd, void* buffer, size_t length) {
  for (;;) {
    const ssize_t n = ::read(fd->handle, buffer, length);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    Report(__LINE__, "ReadFile", errno);
    return -1;
  }
}

int64_t fd_pread(fd_t* fd, void* buffer, size_t length, uint64_t offset) {
  uint8_t* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < length) {
    if (offset + done > static_cast<uint64_t>(INT64_MAX)) break;  // beyond any file
    const ssize_t n = ::pread(fd->handle, out + done, length - done,
                              static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      Report(__LINE__, "ReadFile", errno);
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

int fd_seek(fd_t* fd, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX) ||
      ::lseek(fd->handle, static_cast<off_t>(offset), SEEK_SET) < 0) {
    Report(__LINE__, "SetFilePointer", offset > static_cast<uint64_t>(INT64_MAX) ? EINVAL : errno);
    return -1;
  }
  return 0;
}

int fd_stat(fd_t* fd, uint64_t* size) {
  struct stat st;
  if (::fstat(fd->handle, &st) != 0) {
    Report(__LINE__, "GetFileInformationByHandle", errno);
    return -1;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return 0;
}

int fd_sync(fd_t* fd) {
  if (FaultDue(FaultPoint::kFileSync) || ::fsync(fd->handle) != 0) {
    Report(__LINE__, "FlushFileBuffers", errno);
    return -1;
  }
  return 0;
}

int fd_close(fd_t* fd) {
  if (fd->handle < 0) return 0;
  const int rc = ::close(fd->handle);
  fd->handle = -1;
  return rc == 0 ? 0 : -1;
}

bool fd_is_open(const fd_t* fd) { return fd->handle >= 0; }

int64_t fd_write(fd_t* fd, const void* buffer, size_t length) {
  int64_t written = 0;
  const int error = AppendAll(fd->handle, static_cast<const uint8_t*>(buffer), length, &written);
  if (error != 0) {
    Report(__LINE__, "WriteFile", error);
    return -1;
  }
  return written;
}

int64_t fd_copy_range(fd_t* out, fd_t* in, uint64_t offset, size_t length) {
  if (offset > static_cast<uint64_t>(INT64_MAX) - length) return 0;  // beyond any file
  loff_t from = static_cast<loff_t>(offset);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::copy_file_range(in->handle, &from, out->handle, nullptr, length - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? static_cast<int64_t>(done) : -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

fd_aio_t::~fd_aio_t() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void fd_aio_t::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [this] { return queued_ || stopping_; });
    if (queued_) {
      const int file = file_;
      const uint8_t* data = data_;
      const size_t length = length_;
      lock.unlock();
      int64_t written = 0;
      const int error = AppendAll(file, data, length, &written);
      lock.lock();
      result_ = written;
      error_ = error;
      queued_ = false;
      cv_.notify_all();
    } else {
      return;  // stopping, nothing queued
    }
  }
}

int fd_aio_write(fd_aio_t* aio, fd_t* fd, const void* buffer, size_t length) {
  if (fd->handle < 0) {
    Report(__LINE__, "fd_aio_write", EBADF);
    return -1;
  }
  std::unique_lock<std::mutex> lock(aio->mu_);
  if (aio->in_flight_) {
    Report(__LINE__, "fd_aio_write", EBUSY);
    return -1;
  }
  aio->in_flight_ = true;
  if (length < fd_aio_t::kBackgroundMin) {
    int64_t written = 0;
    aio->error_ = AppendAll(fd->handle, static_cast<const uint8_t*>(buffer), length, &written);
    aio->result_ = written;
    return 0;
  }
  if (!aio->thread_.joinable()) {
    // No thread can mean no write; report it like any other start failure.
    try {
      aio->thread_ = std::thread([aio] { aio->Run(); });
    } catch (const std::system_error& e) {
      aio->in_flight_ = false;
      Report(__LINE__, "fd_aio_write", e.code().value());
      return -1;
    }
  }
  aio->file_ = fd->handle;
  aio->data_ = static_cast<const uint8_t*>(buffer);
  aio->length_ = length;
  aio->queued_ = true;
  aio->error_ = 0;
  lock.unlock();
  aio->cv_.notify_all();
  return 0;
}

int64_t fd_aio_wait(fd_aio_t* aio) {
  std::unique_lock<std::mutex> lock(aio->mu_);
  if (!aio->in_flight_) return 0;
  aio->cv_.wait(lock, [aio] { return !aio->queued_; });
  aio->in_flight_ = false;
  if (aio->error_ != 0) {
    Report(__LINE__, "fd_aio_wait", aio->error_);
    return -1;
  }
  return aio->result_;
}

}  // namespace tidewell
