#include "delta/copy_handler.h"

#include <cerrno>

namespace tidewell {

int CopyHandler::begin() { return fd_open_write(file, &fd); }

int CopyHandler::update(const uint8_t* buffer, size_t length) {
  if (length == 0) return 0;
  return fd_aio_write(&aio, &fd, buffer, length);
}

int CopyHandler::wait() { return fd_aio_wait(&aio) < 0 ? -1 : 0; }

int64_t CopyHandler::copyRange(fd_t* in, uint64_t offset, size_t length) {
  if (fd_aio_wait(&aio) < 0) {
    errno = EIO;
    return -1;
  }
  return fd_copy_range(&fd, in, offset, length);
}

int CopyHandler::end() {
  const int64_t pending = fd_aio_wait(&aio);
  const bool was_open = fd_is_open(&fd);
  const int closed = fd_close(&fd);
  return pending < 0 || !was_open || closed != 0 ? -1 : 0;
}

int MD4HashHandler::begin() {
  mdfour.Reset();
  return 0;
}

int MD4HashHandler::update(const uint8_t* buffer, size_t length) {
  mdfour.Update(buffer, length);
  return 0;
}

int MD4HashHandler::end() {
  mdfour.Final(result.data());
  static const char kHex[] = "0123456789abcdef";
  char text[2 * kMD4DigestSize + 1];
  for (size_t i = 0; i < kMD4DigestSize; ++i) {
    text[2 * i] = kHex[result[i] >> 4];
    text[2 * i + 1] = kHex[result[i] & 0xF];
  }
  text[2 * kMD4DigestSize] = '\0';
  text_ = ustring(text);
  if (result_string != nullptr) *result_string = text_;
  return 0;
}

}  // namespace tidewell
