#include "platform/file_copy.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "base/log.h"
#include "platform/durable_replace.h"

namespace tidewell {

namespace {

bool IsNoSpace(int err) { return err == ENOSPC || err == EDQUOT; }

// Copies byte ranges from one descriptor to the same offsets of another,
// with the cheapest method the two file systems allow. A kernel method that
// fails for any reason but a full disk hands over to plain reads and writes,
// which then tell a read error from a write error.
class RangeCopier {
 public:
  RangeCopier(int in, int out) : in_(in), out_(out) {}

  // Copies up to `len` bytes at `off`. Returns the count copied (0 at the end
  // of the source), or -1 with errno and `write_failed` telling which side
  // failed.
  ssize_t Copy(off_t off, size_t len, bool& write_failed) {
    write_failed = false;
    if (method_ == kCopyFileRange) {
      loff_t in_off = off, out_off = off;
      ssize_t n = copy_file_range(in_, &in_off, out_, &out_off, std::min(len, kKernelChunk), 0);
      if (n >= 0 || IsNoSpace(errno)) {
        write_failed = n < 0;
        return n;
      }
      method_ = kSendfile;
    }
    if (method_ == kSendfile) {
      off_t in_off = off;
      ssize_t n = -1;
      if (lseek(out_, off, SEEK_SET) == off) {
        n = sendfile(out_, in_, &in_off, std::min(len, kKernelChunk));
      }
      if (n >= 0 || IsNoSpace(errno)) {
        write_failed = n < 0;
        return n;
      }
      method_ = kReadWrite;
    }
    return ReadWrite(off, len, write_failed);
  }

 private:
  enum Method { kCopyFileRange, kSendfile, kReadWrite };
  static constexpr size_t kKernelChunk = size_t{1} << 30;
  static constexpr size_t kBufferSize = size_t{1} << 20;

  ssize_t ReadWrite(off_t off, size_t len, bool& write_failed) {
    if (buffer_.empty()) buffer_.resize(kBufferSize);
    ssize_t n;
    do {
      n = pread(in_, buffer_.data(), std::min(len, buffer_.size()), off);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return n;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = pwrite(out_, buffer_.data() + done, static_cast<size_t>(n - done), off + done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        if (w == 0) errno = EIO;
        write_failed = true;
        return -1;
      }
      done += w;
    }
    return n;
  }

  const int in_;
  const int out_;
  Method method_ = kCopyFileRange;
  std::vector<char> buffer_;
};

// Logs a failed copy step and gives FSCopy's result for it.
int CopyFailure(bool write_failed, int err) {
  if (write_failed) {
    TW_LOG_ERROR("file_op_debug", "file-op", "FSCopy: WriteFile failed with error code %d\n", err);
    return IsNoSpace(err) ? -2 : -1;
  }
  TW_LOG_ERROR("file_op_debug", "file-op", "FSCopy: ReadFile failed with error code %d\n", err);
  return -1;
}

// Copies all of `in` (size `size` when opened) into `out`, skipping holes.
int CopyContent(int in, int out, off_t size) {
  RangeCopier copier(in, out);
  bool write_failed = false;
  bool find_data = true;
  off_t pos = 0;
  off_t end = size;
  // The data segments present when the copy began.
  while (pos < size) {
    off_t data = pos, hole = size;
    if (find_data) {
      data = lseek(in, pos, SEEK_DATA);
      if (data < 0 && errno == ENXIO) break;  // only a hole remains
      if (data < 0) {
        find_data = false;
        data = pos;
      } else {
        hole = lseek(in, data, SEEK_HOLE);
        if (hole < 0 || hole > size) hole = size;
      }
    }
    while (data < hole) {
      ssize_t n = copier.Copy(data, static_cast<size_t>(hole - data), write_failed);
      if (n < 0) return CopyFailure(write_failed, errno);
      if (n == 0) {  // the source shrank meanwhile
        end = data;
        break;
      }
      data += n;
    }
    if (end < size) break;
    pos = hole;
  }
  // Whatever was appended since.
  if (end == size) {
    for (;;) {
      ssize_t n = copier.Copy(end, size_t{1} << 20, write_failed);
      if (n < 0) return CopyFailure(write_failed, errno);
      if (n == 0) break;
      end += n;
    }
  }
  if (ftruncate(out, end) != 0) return CopyFailure(true, errno);
  return 0;
}

}  // namespace

int FSCopy(const ustring& from, const ustring& to, bool isDelOrigin) {
  // Non-blocking so that a FIFO cannot hang the open; cleared below.
  int in = -1;
  int err = ENOENT;
  struct stat src;
  if (!from.empty() && (in = open(from.c_str_utf8(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) >= 0) {
    if (fstat(in, &src) != 0) {
      err = errno;
    } else if (!S_ISREG(src.st_mode)) {
      err = EINVAL;
    } else {
      err = 0;
    }
  } else if (!from.empty()) {
    err = errno;
  }
  if (err != 0) {
    if (in >= 0) close(in);
    TW_LOG_ERROR("file_op_debug", "file-op", "FSCopy: Invalid source (%s). Error code %d\n",
                 from.c_str_utf8(), err);
    return -1;
  }
  fcntl(in, F_SETFL, fcntl(in, F_GETFL) & ~O_NONBLOCK);

  // Copying a file onto itself would end, with isDelOrigin, in losing it.
  struct stat dst;
  if (!to.empty() && stat(to.c_str_utf8(), &dst) == 0 && dst.st_dev == src.st_dev &&
      dst.st_ino == src.st_ino) {
    close(in);
    TW_LOG_ERROR("file_op_debug", "file-op", "FSCopy: Invalid destination. Error code %d\n",
                 EINVAL);
    return -1;
  }

  bool writer_ran = false;
  int copy_result = 0;
  int r = DurableReplace(to, [&](int out) {
    writer_ran = true;
    copy_result = CopyContent(in, out, src.st_size);
    return copy_result;
  });
  err = errno;
  close(in);
  if (r < 0) {
    if (!writer_ran) {
      TW_LOG_ERROR("file_op_debug", "file-op", "FSCopy: Invalid destination. Error code %d\n", err);
      return r == kReplaceNoSpace ? -2 : -1;
    }
    if (copy_result < 0) return copy_result;  // already logged
    // Flushing or renaming the finished copy failed.
    return CopyFailure(true, err);
  }
  if (isDelOrigin && unlink(from.c_str_utf8()) != 0) {
    err = errno;
    TW_LOG_ERROR("file_op_debug", "file-op", "FSCopy: DeleteFile failed with error code %d\n", err);
    return -1;
  }
  return 0;
}

}  // namespace tidewell
