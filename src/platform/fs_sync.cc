#include "platform/fs_sync.h"

#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

namespace tidewell {

int RenameWithoutSync(const char* from, const char* to) { return ::rename(from, to) == 0 ? 0 : -1; }

int SyncFileSystemOf(const char* path) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  int rc = ::syncfs(fd);
  int saved = errno;
  ::close(fd);
  errno = saved;
  return rc == 0 ? 0 : -1;
}

int SyncFileAt(const char* path) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  int rc;
  do {
    rc = ::fdatasync(fd);
  } while (rc != 0 && errno == EINTR);
  int saved = errno;
  ::close(fd);
  errno = saved;
  return rc == 0 ? 0 : -1;
}

void StartWriteBack(int fd, long long offset, long long length) {
  (void)::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
}

}  // namespace tidewell
