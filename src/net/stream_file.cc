#include "net/stream_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/tmp_name_gen.h"
#include "net/net_log.h"

namespace tidewell {

namespace {

FILE* WrapDescriptor(int fd, const ustring& path, const char* stream_mode, const char* mode) {
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  FILE* f = fdopen(fd, stream_mode);
  if (f == nullptr) {
    ST_LOG_ERR("_wfdopen(\"%s\", \"%s\"): Error code %d", path.c_str_utf8(), mode, errno);
    ::close(fd);
  }
  return f;
}

}  // namespace

FILE* xfopen(const ustring& path, const char* mode) {
  int flags;
  const char* stream_mode;
  switch (mode != nullptr ? mode[0] : '\0') {
    case 'r':
      flags = O_RDONLY;
      stream_mode = "rb";
      break;
    case 'w':
      flags = O_WRONLY | O_CREAT | O_TRUNC;
      stream_mode = "wb";
      break;
    case 'a':
      flags = O_WRONLY | O_CREAT | O_APPEND;
      stream_mode = "ab";
      break;
    default:
      flags = O_RDWR | O_CREAT | O_TRUNC;
      stream_mode = "w+b";
      break;
  }
  int fd = ::open(path.c_str_utf8(), flags | O_CLOEXEC, 0666);
  if (fd < 0) {
    ST_LOG_ERR("CreateFile(\"%s\"): Error code %d", path.c_str_utf8(), errno);
    return nullptr;
  }
  return WrapDescriptor(fd, path, stream_mode, mode != nullptr ? mode : "");
}

FILE* CreateFreshFile(const ustring& dir, ustring& path) {
  // A random name can collide with a file that is already there; such a
  // file is never truncated, a new name is drawn instead.
  for (int attempt = 0; attempt < 16; ++attempt) {
    ustring candidate = TmpNameGen::getInstance().getTmpName(dir);
    int fd = ::open(candidate.c_str_utf8(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      ST_LOG_ERR("CreateFile(\"%s\"): Error code %d", candidate.c_str_utf8(), errno);
      return nullptr;
    }
    FILE* f = WrapDescriptor(fd, candidate, "wb", "wb");
    if (f != nullptr) path = candidate;
    return f;
  }
  return nullptr;
}

}  // namespace tidewell
