#include "platform/durable_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "base/log.h"
#include "base/tmp_name_gen.h"
#include "base/utf8_prefix.h"
#include "platform/fault_seam.h"
#include "platform/file_rename.h"
#include "platform/path_util.h"

namespace tidewell {

namespace {

bool IsNoSpace(int err) { return err == ENOSPC || err == EDQUOT; }

// Creates a fresh temporary beside `target`; fills `tmp`. fd, or -1.
int CreateSibling(const std::string& dir, std::string_view base, int create_mode,
                  std::string& tmp) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    ustring unique = TmpNameGen::getInstance().getTmpName("");  // "/" + 8 chars
    std::string name(".");
    name.append(Utf8Prefix(base, 200));
    name += '.';
    name.append(unique.utf8_view().substr(1));
    name += ".tw-tmp";
    tmp = pathutil::Join(dir, name);
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, create_mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// The replace itself; `writer` gets the temporary's descriptor and name.
int Replace(const ustring& target, int mode, const std::function<int(int fd, const std::string& tmp)>& writer) {
  std::string_view trimmed = pathutil::TrimTrailingSlashes(target.utf8_view());
  std::string_view base = pathutil::BaseNameOf(trimmed);
  if (trimmed.empty() || base == "/" || base == "." || base == "..") {
    errno = EINVAL;
    return -1;
  }
  std::string target_path(trimmed);
  std::string dir = pathutil::ParentOf(trimmed);

  struct stat st;
  if (lstat(target_path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      return -1;
    }
    if (mode < 0 && S_ISREG(st.st_mode)) mode = static_cast<int>(st.st_mode & 07777);
  }

  std::string tmp;
  int fd = CreateSibling(dir, base, mode < 0 ? 0666 : 0600, tmp);
  if (fd < 0) return IsNoSpace(errno) ? kReplaceNoSpace : -1;

  auto fail = [&](int result) {
    int saved = errno;
    if (fd >= 0) close(fd);
    unlink(tmp.c_str());
    errno = saved;
    return result;
  };
  // The umask must not narrow a mode taken over from the old file.
  if (mode >= 0 && fchmod(fd, static_cast<mode_t>(mode)) != 0) return fail(-1);
  int r = writer(fd, tmp);
  if (r < 0) return fail(r);
  if (FaultDue(FaultPoint::kFileSync) || fsync(fd) != 0) return fail(IsNoSpace(errno) ? kReplaceNoSpace : -1);
  int closed = close(fd);
  fd = -1;
  if (closed != 0) return fail(IsNoSpace(errno) ? kReplaceNoSpace : -1);
  {
    std::lock_guard<std::mutex> lock(RenameMutex());
    if (FaultDue(FaultPoint::kRename) || rename(tmp.c_str(), target_path.c_str()) != 0) return fail(-1);
  }
  if (SyncDirectory(dir.c_str()) != 0) {
    int err = errno;
    TW_LOG_ERROR("file_op_debug", "file-op", "DurableReplace: cannot flush '%s', error code %d\n",
                 dir.c_str(), err);
    errno = err;
    return -1;
  }
  return 0;
}

}  // namespace

int DurableReplace(const ustring& target, const ContentWriter& writer, int mode) {
  return Replace(target, mode, [&writer](int fd, const std::string&) { return writer(fd); });
}

int DurableReplaceByPath(const ustring& target, const PathWriter& writer, int mode) {
  return Replace(target, mode, [&writer](int fd, const std::string& tmp) {
    int r = writer(ustring(tmp));
    if (r < 0) return r;
    // Flushing our descriptor covers the writer's bytes only if the name
    // still holds our file.
    struct stat ours, named;
    if (fstat(fd, &ours) != 0 || stat(tmp.c_str(), &named) != 0 || ours.st_dev != named.st_dev ||
        ours.st_ino != named.st_ino) {
      errno = ESTALE;
      return -1;
    }
    return 0;
  });
}

int DurableReplaceContent(const ustring& target, std::string_view content, int mode) {
  return DurableReplace(
      target, [content](int fd) { return WriteAll(fd, content.data(), content.size()); }, mode);
}

}  // namespace tidewell
