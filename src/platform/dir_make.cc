#include "platform/dir_make.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "base/log.h"
#include "platform/path_util.h"

namespace tidewell {

namespace {

// EnsureDirectory's result for an existing non-directory that may not be
// replaced.
constexpr int kBlocked = -2;

// Makes sure `prefix` is a directory. 0, kBlocked, or -1 (errno set).
int EnsureDirectory(const std::string& prefix, bool is_last, bool force) {
  struct stat st;
  bool exists = stat(prefix.c_str(), &st) == 0;
  if (!exists && errno == ENOENT && lstat(prefix.c_str(), &st) == 0) {
    exists = true;  // a dangling symbolic link
  } else if (!exists && errno != ENOENT) {
    return -1;
  }
  if (exists && S_ISDIR(st.st_mode)) return 0;
  if (exists) {
    if (!force) {
      errno = is_last ? EEXIST : ENOTDIR;
      return kBlocked;
    }
    if (unlink(prefix.c_str()) != 0) return -1;
  }
  if (mkdir(prefix.c_str(), 0777) == 0) {
    TW_LOG_DEBUG("file_op_debug", "file-op", "FSMKDirP: %s\n", prefix.c_str());
    return 0;
  }
  int err = errno;
  if (err == EEXIST && stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  TW_LOG_DEBUG("file_op_debug", "file-op", "FSMKDirP fail: %s\n", prefix.c_str());
  errno = err;
  return -1;
}

}  // namespace

int FSMKDir(const ustring& path, bool isCreateParent) {
  if (isCreateParent) return FSMKDirP(path);
  std::string p(pathutil::TrimTrailingSlashes(path.utf8_view()));
  if (p.empty()) errno = ENOENT;
  if (p.empty() || mkdir(p.c_str(), 0777) != 0) {
    int err = errno;
    struct stat st;
    if (err == EEXIST && stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    TW_LOG_ERROR("file_op_debug", "file-op", "FSMKDirP: error code %d\n", err);
    errno = err;
    return -1;
  }
  return 0;
}

int FSMKDirP(const ustring& path, const char*, bool blForceCreate, uint32_t, uint32_t, uint32_t) {
  std::string_view p = pathutil::TrimTrailingSlashes(path.utf8_view());
  if (p.empty()) return -1;
  if (p == "/") return 0;
  int result = 0;
  for (size_t i = 1; i <= p.size(); ++i) {
    bool is_last = i == p.size();
    // A prefix ends before each "/" that follows a name character.
    if (!is_last && !(p[i] == '/' && p[i - 1] != '/')) continue;
    // A failed intermediate directory shows in the components below it.
    result = EnsureDirectory(std::string(p.substr(0, i)), is_last, blForceCreate);
    if (result == kBlocked) return -1;
  }
  return result;
}

}  // namespace tidewell
