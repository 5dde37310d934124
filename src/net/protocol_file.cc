#include "net/protocol_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "base/error_code.h"
#include "net/net_log.h"
#include "net/protocol.h"
#include "net/stream_file.h"

namespace tidewell {

namespace {

using Clock = std::chrono::steady_clock;

// Logs the progress line at most once a second, and at the end.
class ProgressLog {
 public:
  explicit ProgressLog(uint64_t total) : total_(total), start_(Clock::now()), last_(start_) {}

  void Update(uint64_t done, bool finished) {
    auto now = Clock::now();
    if (!finished && now - last_ < std::chrono::seconds(1)) return;
    last_ = now;
    double secs = std::chrono::duration<double>(now - start_).count();
    double kbits = secs > 0 ? static_cast<double>(done) * 8 / 1024 / secs : 0;
    PR_LOG_INFO("FileTransfer: %llu/%llu KB, speed: %lf Kb/s", static_cast<unsigned long long>(done / 1024),
                static_cast<unsigned long long>(total_ / 1024), kbits);
  }

 private:
  uint64_t total_;
  Clock::time_point start_;
  Clock::time_point last_;
};

int WriteFrom(Channel& ch, bool is_delta, FILE* stream, uint64_t offset, size_t block) {
  if (stream == nullptr) return ERR_INVAL;
  struct stat st;
  if (fstat(fileno(stream), &st) != 0) return ERR_SYS;
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (offset > size) {
    PR_LOG_ERR("WriteFile: offset %llu is larger than size %llu", static_cast<unsigned long long>(offset),
               static_cast<unsigned long long>(size));
    return ERR_INVAL;
  }
  if (fseeko(stream, static_cast<off_t>(offset), SEEK_SET) != 0) return ERR_SYS;

  int rc = ProtoWriteSection(ch, SPROTO_ID_DELTATYPE, uint8_t{is_delta ? uint8_t{1} : uint8_t{0}});
  if (rc == 0) rc = ProtoWriteSection(ch, SPROTO_ID_DELTALEN, uint64_t{size});
  if (rc < 0) return rc;

  std::vector<uint8_t> buf(block);
  uint64_t left = size - offset;
  uint32_t id = kFirstBlockId;
  ProgressLog progress(left);
  while (left > 0) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(block, left));
    size_t got = fread(buf.data(), 1, want, stream);
    if (got < want) {
      // The file changed under us; the peer expects the announced size.
      PR_LOG_ERR("WriteFile: file ended %llu bytes before its size", static_cast<unsigned long long>(left - got));
      return ferror(stream) ? ERR_SYS : ERR_PROTO;
    }
    if ((rc = ProtoWriteSection(ch, SPROTO_ID_DELTAID, uint32_t{id++})) < 0) return rc;
    if ((rc = ProtoWriteSection(ch, SPROTO_ID_DELTADATA, buf.data(), got)) < 0) return rc;
    left -= got;
    progress.Update(size - offset - left, left == 0);
  }
  return ch.FlushWrite(0);
}

int WritePath(Channel& ch, bool is_delta, const ustring& path, uint64_t offset, size_t block) {
  FilePtr f(xfopen(path, "rb"));
  if (f == nullptr) return ERR_SYS;
  return WriteFrom(ch, is_delta, f.get(), offset, block);
}

// Opens `path` for receiving after its first `offset` bytes.
int OpenTarget(const ustring& path, uint64_t offset, FilePtr& out) {
  if (offset == 0) {
    out.reset(xfopen(path, "wb"));
    return out != nullptr ? ERR_OK : ERR_SYS;
  }
  int fd = ::open(path.c_str_utf8(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    PR_LOG_ERR("ReadFile: open: %s offset is %llu but size is %llu", path.c_str_utf8(),
               static_cast<unsigned long long>(offset), 0ULL);
    return ERR_INVAL;
  }
  struct stat st;
  int rc = ERR_OK;
  if (fstat(fd, &st) != 0) {
    rc = ERR_SYS;
  } else if (static_cast<uint64_t>(st.st_size) < offset) {
    PR_LOG_ERR("ReadFile: open: %s offset is %llu but size is %llu", path.c_str_utf8(),
               static_cast<unsigned long long>(offset), static_cast<unsigned long long>(st.st_size));
    rc = ERR_INVAL;
  } else if (ftruncate(fd, static_cast<off_t>(offset)) != 0) {
    rc = ERR_SYS;
  }
  ::close(fd);
  if (rc < 0) return rc;
  out.reset(xfopen(path, "ab"));
  return out != nullptr ? ERR_OK : ERR_SYS;
}

int ReadTo(Channel& ch, bool& is_delta, const ustring& path, uint64_t offset) {
  uint8_t delta = 0;
  uint64_t size = 0;
  int rc = ProtoReadSection(ch, SPROTO_ID_DELTATYPE, delta);
  if (rc >= 0) rc = ProtoReadSection(ch, SPROTO_ID_DELTALEN, size);
  if (rc < 0) return rc;
  if (offset > size) {
    PR_LOG_ERR("ReadFile: offset %llu is beyond the size %llu", static_cast<unsigned long long>(offset),
               static_cast<unsigned long long>(size));
    return ERR_PROTO;
  }
  FilePtr file;
  if ((rc = OpenTarget(path, offset, file)) < 0) return rc;
  setvbuf(file.get(), nullptr, _IONBF, 0);

  std::vector<uint8_t> buf(0xFFFF);
  uint64_t left = size - offset;
  ProgressLog progress(left);
  while (left > 0) {
    uint32_t id;
    size_t len = 0;
    if ((rc = ProtoReadSection(ch, SPROTO_ID_DELTAID, id)) < 0) return rc;
    if ((rc = ProtoReadSection(ch, SPROTO_ID_DELTADATA, buf.data(), buf.size(), len)) < 0) return rc;
    if (len == 0 || len > left) {
      PR_LOG_ERR("ReadFile: block %u of %zu bytes does not fit the %llu bytes still expected", id, len,
                 static_cast<unsigned long long>(left));
      return ERR_PROTO;
    }
    if (fwrite(buf.data(), 1, len, file.get()) != len) {
      int err = errno;
      PR_LOG_ERR("ReadFile: write %s: %s", path.c_str_utf8(), strerror(err));
      return err == ENOSPC || err == EDQUOT ? ERR_LOCAL_DISKFULL : ERR_SYS;
    }
    left -= len;
    progress.Update(size - offset - left, left == 0);
  }
  if (fflush(file.get()) != 0) return errno == ENOSPC ? ERR_LOCAL_DISKFULL : ERR_SYS;
  is_delta = delta != 0;
  return ERR_OK;
}

}  // namespace

int ProtoWriteFile(Channel& ch, bool is_delta, FILE* stream) { return WriteFrom(ch, is_delta, stream, 0, kFileBlock); }

int ProtoWriteFile(Channel& ch, bool is_delta, const ustring& path) {
  return WritePath(ch, is_delta, path, 0, kFileBlock);
}

int ProtoWriteFile2(Channel& ch, bool is_delta, FILE* stream, uint64_t offset) {
  return WriteFrom(ch, is_delta, stream, offset, kFileBlock2);
}

int ProtoWriteFile2(Channel& ch, bool is_delta, const ustring& path, uint64_t offset) {
  return WritePath(ch, is_delta, path, offset, kFileBlock2);
}

int ProtoReadFile(Channel& ch, bool& is_delta, const ustring& path) { return ReadTo(ch, is_delta, path, 0); }

int ProtoReadFile2(Channel& ch, bool& is_delta, const ustring& path, uint64_t offset) {
  return ReadTo(ch, is_delta, path, offset);
}

}  // namespace tidewell
