#include "platform/temp_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/log.h"
#include "base/tmp_name_gen.h"

namespace tidewell {

namespace {

// Names drawn before giving up; a clash of 48 random bits is already rare.
constexpr int kAttempts = 32;

}  // namespace

int FSMktemp(const ustring& prefix, ustring& path) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    ustring name = TmpNameGen::getInstance().getTmpName(prefix);
    if (name.empty()) {
      TW_LOG_ERROR("file_op_debug", "file-op", "FSMktemp failed.\n");
      return -1;
    }
    int fd = open(name.c_str_utf8(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0 && errno == EEXIST) continue;
    TW_LOG_DEBUG("file_op_debug", "file-op", "FSMktemp: prefix [%s], path[%s]\n",
                 prefix.c_str_utf8(), name.c_str_utf8());
    if (fd < 0) return -1;
    close(fd);
    path = name;
    return 0;
  }
  TW_LOG_ERROR("file_op_debug", "file-op", "FSMktemp failed.\n");
  return -1;
}

int FSCreateTempPath(const ustring& prefix, ustring& path) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    ustring name = TmpNameGen::getInstance().getTmpName(prefix);
    if (name.empty()) return -1;
    struct stat st;
    if (lstat(name.c_str_utf8(), &st) == 0) continue;
    path = name;
    return 0;
  }
  return -1;
}

}  // namespace tidewell
