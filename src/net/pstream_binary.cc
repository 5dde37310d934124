// Binary values: file regions streamed between a file and the channel
// through one buffer, with resumable receiving.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "net/net_log.h"
#include "net/pstream.h"
#include "net/stream_file.h"

namespace tidewell {

namespace {

// Progress is logged at every whole multiple of this many bytes.
constexpr uint64_t kProgressStep = 104857600;

std::unique_ptr<uint8_t[]> NewBuffer() {
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[PStream::kBufferSize]);
  if (buf == nullptr) ST_LOG_ERR("malloc error");
  return buf;
}

int WriteFailure(const ustring& path) {
  int err = errno;
  ST_LOG_ERR("cannot write %s: %s", path.c_str_utf8(), strerror(err));
  return err == ENOSPC || err == EDQUOT ? kStreamDiskFull : kStreamLocal;
}

}  // namespace

int PStream::SendBinary(Channel& ch, const PObject::binary_type& value) {
  // The file is opened before anything is written, so a missing file
  // leaves the peer in step.
  FilePtr file(xfopen(value.path, "rb"));
  if (file == nullptr) {
    ST_LOG_ERR("fopen error");
    return kStreamLocal;
  }
  if (fseeko(file.get(), static_cast<off_t>(value.offset), SEEK_SET) != 0) {
    ST_LOG_ERR("fseek error");
    return kStreamLocal;
  }
  std::unique_ptr<uint8_t[]> buf = NewBuffer();
  if (buf == nullptr) return kStreamLocal;
  setvbuf(file.get(), nullptr, _IONBF, 0);  // our buffer is the only one

  int rc = ch.WriteByte(kTagBinary);
  if (rc == 0) rc = ch.WriteInt64(value.length);
  if (rc < 0) return ChannelFailure(rc);

  UpdateStatus(0, value.length);
  uint64_t sent = 0;
  while (sent < value.length) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(kBufferSize, value.length - sent));
    size_t got = fread(buf.get(), 1, want, file.get());
    if (got < want && ferror(file.get())) {
      ST_LOG_ERR("fread error");
      return kStreamLocal;
    }
    if (got > 0) {
      if ((rc = ch.Write(buf.get(), got)) < 0) return ChannelFailure(rc);
      sent += got;
      if (sent % kProgressStep == 0) {
        ST_LOG_INFO("sending %s ... (%llu / %llu)", value.path.c_str_utf8(), static_cast<unsigned long long>(sent),
                    static_cast<unsigned long long>(value.length));
      }
      UpdateStatus(sent, value.length);
    }
    if (got < want) break;  // end of file
  }
  if (sent != value.length) {
    ST_LOG_ERR("file length is incorrect.");
    return kStreamMalformed;
  }
  if (ST_DEBUG_ENABLED()) {
    ST_LOG_DEBUG("%sbinary, %llu bytes", std::string(2 * std::min(indent, 11), ' ').c_str(),
                 static_cast<unsigned long long>(value.length));
  }
  return kStreamOk;
}

int PStream::OpenReceiveTarget(PObject::binary_type& value, FILE*& out) {
  out = nullptr;
  if (value.path.empty()) {
    value.offset = 0;
    value.length = 0;
    if (recv_path.empty()) {
      ST_LOG_ERR("no receive location for a binary without path");
      return kStreamLocal;
    }
    if (fresh_files_.size() >= binary_limit_) {
      ST_LOG_ERR("more than %zu binaries in one message", binary_limit_);
      return kStreamMalformed;
    }
    out = CreateFreshFile(recv_path, value.path);
    if (out == nullptr) return kStreamLocal;
    fresh_files_.push_back(value.path);
    return kStreamOk;
  }
  ST_LOG_DEBUG("store binary to %s, offset %llu", value.path.c_str_utf8(),
               static_cast<unsigned long long>(value.offset));
  if (value.offset == 0) {
    out = xfopen(value.path, "wb");
    return out != nullptr ? kStreamOk : kStreamLocal;
  }
  // Resuming: the first `offset` bytes must be there. Anything after them
  // is a leftover of an earlier attempt and goes; a shorter file cannot be
  // continued without misplacing the bytes.
  int fd = ::open(value.path.c_str_utf8(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    ST_LOG_ERR("CreateFile: Error code %d", errno);
    return kStreamLocal;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    ST_LOG_ERR("SetFilePointerEx: Error code %d", errno);
    ::close(fd);
    return kStreamLocal;
  }
  if (static_cast<uint64_t>(st.st_size) < value.offset) {
    ST_LOG_ERR("%s holds %llu bytes, fewer than the offset %llu", value.path.c_str_utf8(),
               static_cast<unsigned long long>(st.st_size), static_cast<unsigned long long>(value.offset));
    ::close(fd);
    return kStreamLocal;
  }
  if (static_cast<uint64_t>(st.st_size) > value.offset && ftruncate(fd, static_cast<off_t>(value.offset)) != 0) {
    ST_LOG_ERR("SetEndOfFile: Error code %d", errno);
    ::close(fd);
    return kStreamLocal;
  }
  ::close(fd);
  out = xfopen(value.path, "ab");
  return out != nullptr ? kStreamOk : kStreamLocal;
}

int PStream::RecvBinary(Channel& ch, PObject::binary_type& value) {
  uint64_t length;
  int rc = ch.ReadInt64(length);
  if (rc < 0) return ChannelFailure(rc);
  if (binary_receiver_) return binary_receiver_(ch, length, value);

  FILE* raw = nullptr;
  if ((rc = OpenReceiveTarget(value, raw)) < 0) return rc;
  FilePtr file(raw);
  // Unbuffered: each write reaches the file at once, so a full disk shows
  // at the write that hit it and the count of stored bytes is exact.
  setvbuf(file.get(), nullptr, _IONBF, 0);
  std::unique_ptr<uint8_t[]> buf = NewBuffer();
  if (buf == nullptr) return kStreamLocal;

  const uint64_t start = value.offset;
  uint64_t written = 0;
  UpdateStatus(0, length);
  while (written < length) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(kBufferSize, length - written));
    size_t got = 0;
    int crc = ch.Read(buf.get(), want, got);
    // Bytes that arrived before a failure are good and are kept, so a later
    // attempt resumes after them.
    size_t put = got > 0 ? fwrite(buf.get(), 1, got, file.get()) : 0;
    written += put;
    if (put < got) {
      rc = WriteFailure(value.path);
      break;
    }
    if (crc < 0) {
      rc = ChannelFailure(crc);
      break;
    }
    if (written % kProgressStep == 0) {
      ST_LOG_INFO("receiving %s ... (%llu / %llu)", value.path.c_str_utf8(), static_cast<unsigned long long>(written),
                  static_cast<unsigned long long>(length));
    }
    UpdateStatus(written, length);
  }
  if (rc == 0 && fflush(file.get()) != 0) rc = WriteFailure(value.path);

  value.offset = start + written;
  value.length = value.offset;
  if (ST_DEBUG_ENABLED()) {
    ST_LOG_DEBUG("%sbinary has been stored at '%s' with length %llu", std::string(2 * std::min(indent, 11), ' ').c_str(),
                 value.path.c_str_utf8(), static_cast<unsigned long long>(value.length));
  }
  return rc;
}

}  // namespace tidewell
