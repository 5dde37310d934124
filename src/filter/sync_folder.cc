#include "filter/sync_folder.h"

#include <sys/stat.h>

#include <cerrno>

#include "base/log.h"
#include "filter/filter_log.h"
#include "platform/file_stat.h"

namespace tidewell {
namespace {

// A mount root is a directory whose parent lies on another device, or
// which is its own parent ("/").
bool IsMountRoot(const ustring& folder) {
  struct stat self, parent;
  if (::lstat(folder.c_str_utf8(), &self) != 0 || !S_ISDIR(self.st_mode)) return false;
  ustring up = folder + "/..";
  if (::stat(up.c_str_utf8(), &parent) != 0) return false;
  return self.st_dev != parent.st_dev || self.st_ino == parent.st_ino;
}

}  // namespace

bool IsValidSyncFolder(const ustring& folder) {
  if (folder.empty()) {
    POLICY_LOG(ERROR, "get file attributes fail, error code [%d]\n", ENOENT);
    return false;
  }
  if (IsMountRoot(folder)) return true;
  _FILE_INFO_tag info;
  errno = 0;
  if (FSStat(folder, info, false) != 0 || !info.isExist) {
    POLICY_LOG(ERROR, "get file attributes fail, error code [%d]\n", errno != 0 ? errno : ENOENT);
    return false;
  }
  switch (info.type) {
    case FT_DIR:
      return true;
    case FT_DEV:
      POLICY_LOG(ERROR, "cannot accept DEVICE ATTRIBE.\n");
      return false;
    case FT_SLINK:
      POLICY_LOG(ERROR, "cannot accept DEVICE REPARSE.\n");
      return false;
    default:
      POLICY_LOG(ERROR, "cannot accept File Attributes = %d\n", static_cast<int>(info.type));
      return false;
  }
}

}  // namespace tidewell
