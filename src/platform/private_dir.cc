#include "platform/private_dir.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tidewell {

namespace {

int MakeOne(const std::string& path, std::string& error) {
  if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return 0;
  error = "cannot create folder '" + path + "': " + strerror(errno);
  return -1;
}

}  // namespace

int MakePrivateDir(const std::string& path, std::string& error) {
  if (path.empty() || path[0] != '/') {
    error = "folder '" + path + "' is not an absolute path";
    return -1;
  }
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    if (MakeOne(path.substr(0, at), error) != 0) return -1;
  }
  if (MakeOne(path, error) != 0) return -1;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    error = "cannot examine folder '" + path + "': " + strerror(errno);
    return -1;
  }
  if (!S_ISDIR(st.st_mode)) {
    error = "'" + path + "' is not a folder (a symbolic link or a file is in the way)";
    return -1;
  }
  if (st.st_uid != geteuid()) {
    error = "folder '" + path + "' belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    return -1;
  }
  if ((st.st_mode & 077) != 0 && chmod(path.c_str(), 0700) != 0) {
    error = "cannot make folder '" + path + "' private: " + strerror(errno);
    return -1;
  }
  return 0;
}

}  // namespace tidewell
