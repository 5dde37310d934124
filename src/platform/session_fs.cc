#include "platform/session_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace tidewell {

namespace {

constexpr uint64_t kResolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;

int Openat2(int dirfd, const char* path, uint64_t flags, uint64_t mode) {
  open_how how{};
  how.flags = flags;
  how.mode = mode;
  how.resolve = kResolve;
  for (;;) {
    long fd = syscall(SYS_openat2, dirfd, path, &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    // EAGAIN: a rename elsewhere raced the lookup; the kernel asks to retry.
    if (errno != EINTR && errno != EAGAIN) return -errno;
  }
}

// Turns "/a/b", "a/b", "/" or "" into the form openat2 takes below the root
// ("a/b", "" for the root). -EINVAL for NUL bytes and empty, "." or ".."
// components.
int Normalize(const ustring& rel, std::string& out) {
  std::string_view p = rel.utf8_view();
  if (p.find('\0') != std::string_view::npos) return -EINVAL;
  if (!p.empty() && p.front() == '/') p.remove_prefix(1);
  out.assign(p);
  if (p.empty()) return 0;
  size_t pos = 0;
  while (pos <= p.size()) {
    size_t end = p.find('/', pos);
    if (end == std::string_view::npos) end = p.size();
    std::string_view comp = p.substr(pos, end - pos);
    if (comp.empty() || comp == "." || comp == "..") return -EINVAL;
    pos = end + 1;
  }
  return 0;
}

int FlushDir(int fd) {
  if (fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP) return 0;
  return -errno;
}

void FillInfo(const struct stat& st, FILE_INFO& info) {
  info.isExist = true;
  info.type = FileTypeFromMode(st.st_mode);
  info.mtime = ClampTime(st.st_mtim.tv_sec);
  info.mtime_nsec = static_cast<uint32_t>(st.st_mtim.tv_nsec);
  info.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
  info.uid = st.st_uid;
  info.gid = st.st_gid;
}

}  // namespace

int CheckSessionPath(const ustring& path) {
  std::string_view p = path.utf8_view();
  if (p.empty() || p.front() != '/') return kPathNotRooted;
  if (p.find('\0') != std::string_view::npos) return kPathHasNul;
  if (!ustring::is_valid(path)) return kPathNotUtf8;
  if (p == "/") return kPathOk;
  size_t pos = 1;
  bool first = true;
  while (pos <= p.size()) {
    size_t end = p.find('/', pos);
    if (end == std::string_view::npos) end = p.size();
    std::string_view comp = p.substr(pos, end - pos);
    if (comp.empty() || comp == "." || comp == "..") return kPathBadComponent;
    if (first && comp == kWorkingFolderName) return kPathWorkingFolder;
    first = false;
    pos = end + 1;
  }
  return kPathOk;
}

const char* SessionPathCheckString(int result) {
  switch (result) {
    case kPathOk:
      return "clean";
    case kPathNotRooted:
      return "not a rooted path";
    case kPathHasNul:
      return "contains a NUL byte";
    case kPathNotUtf8:
      return "not valid UTF-8";
    case kPathBadComponent:
      return "has an empty, '.' or '..' component";
    case kPathWorkingFolder:
      return "names the working folder";
    default:
      return "unknown path check result";
  }
}

std::string SessionFsErrorString(int result) {
  if (result >= 0) return "success";
  if (result == -ELOOP) return "symbolic link in path";
  if (result == -EXDEV) return "path leaves the session";
  return std::strerror(-result);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int SessionFs::Open(const ustring& root) {
  int fd = ::open(root.c_str_utf8(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    root_fd_.reset();
    root_.clear();
    return -err;
  }
  root_fd_.reset(fd);
  std::string_view r = root.utf8_view();
  while (r.size() > 1 && r.back() == '/') r.remove_suffix(1);
  root_ = ustring(std::string(r));
  return 0;
}

ustring SessionFs::FullPath(const ustring& rel) const {
  std::string out(root_.utf8_view());
  std::string_view r = rel.utf8_view();
  if (r.empty() || r == "/") return ustring(out);
  if (r.front() != '/') out += '/';
  out.append(r);
  return ustring(out);
}

int SessionFs::OpenParent(const std::string& rel, UniqueFd& dir, std::string& name) const {
  size_t slash = rel.rfind('/');
  std::string parent = slash == std::string::npos ? "." : rel.substr(0, slash);
  name = slash == std::string::npos ? rel : rel.substr(slash + 1);
  int fd = Openat2(root_fd_.get(), parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return fd;
  dir.reset(fd);
  return 0;
}

int SessionFs::OpenRead(const ustring& rel, UniqueFd& out) const {
  std::string p;
  int rc = Normalize(rel, p);
  if (rc < 0) return rc;
  if (!IsOpen()) return -EBADF;
  int fd = Openat2(root_fd_.get(), p.empty() ? "." : p.c_str(),
                   O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0);
  if (fd < 0) return fd;
  UniqueFd f(fd);
  struct stat st;
  if (fstat(fd, &st) != 0) return -errno;
  if (S_ISDIR(st.st_mode)) return -EISDIR;
  if (!S_ISREG(st.st_mode)) return -EINVAL;
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return -errno;
  out = std::move(f);
  return 0;
}

int SessionFs::Create(const ustring& rel, bool exclusive, int mode, UniqueFd& out) const {
  std::string p;
  int rc = Normalize(rel, p);
  if (rc < 0) return rc;
  if (p.empty()) return -EISDIR;
  if (!IsOpen()) return -EBADF;
  uint64_t flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  flags |= exclusive ? O_EXCL : O_TRUNC;
  int fd = Openat2(root_fd_.get(), p.c_str(), flags, static_cast<uint64_t>(mode) & 07777);
  if (fd < 0) return fd;
  UniqueFd f(fd);
  struct stat st;
  if (fstat(fd, &st) != 0) return -errno;
  if (!S_ISREG(st.st_mode)) return -EINVAL;
  int fl = fcntl(fd, F_GETFL);
  if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) return -errno;
  out = std::move(f);
  return 0;
}

int SessionFs::MakeDir(const ustring& rel, int mode) const {
  std::string p;
  int rc = Normalize(rel, p);
  if (rc < 0) return rc;
  if (!IsOpen()) return -EBADF;
  if (p.empty()) return 0;  // the root exists
  UniqueFd dir;
  std::string name;
  rc = OpenParent(p, dir, name);
  if (rc < 0) return rc;
  if (mkdirat(dir.get(), name.c_str(), static_cast<mode_t>(mode)) == 0) return 0;
  int err = errno;
  if (err != EEXIST) return -err;
  struct stat st;
  if (fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return -errno;
  if (S_ISDIR(st.st_mode)) return 0;
  return S_ISLNK(st.st_mode) ? -ELOOP : -EEXIST;
}

int SessionFs::MakeDirs(const ustring& rel, int mode) const {
  std::string p;
  int rc = Normalize(rel, p);
  if (rc < 0) return rc;
  size_t pos = 0;
  while (pos < p.size()) {
    size_t end = p.find('/', pos);
    if (end == std::string::npos) end = p.size();
    rc = MakeDir(ustring(p.substr(0, end)), mode);
    if (rc < 0) return rc;
    pos = end + 1;
  }
  return 0;
}

int SessionFs::Stat(const ustring& rel, FILE_INFO& info) const {
  info.isExist = false;
  info.type = FT_ERR;
  info.mtime = 0;
  info.mtime_nsec = 0;
  info.size = 0;
  info.path = FullPath(rel);
  std::string p;
  int rc = Normalize(rel, p);
  if (rc < 0) return rc;
  if (!IsOpen()) return -EBADF;
  struct stat st;
  if (p.empty()) {
    if (fstat(root_fd_.get(), &st) != 0) return -errno;
    FillInfo(st, info);
    return 0;
  }
  UniqueFd dir;
  std::string name;
  rc = OpenParent(p, dir, name);
  if (rc == -ENOENT || rc == -ENOTDIR) return 0;
  if (rc < 0) return rc;
  if (fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return 0;
    return -errno;
  }
  FillInfo(st, info);
  return 0;
}

int SessionFs::StatFd(int fd, FILE_INFO& info) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -errno;
  FillInfo(st, info);
  return 0;
}

int SessionFs::Rename(const ustring& from, const ustring& to, bool replace) const {
  std::string a, b;
  int rc = Normalize(from, a);
  if (rc == 0) rc = Normalize(to, b);
  if (rc < 0) return rc;
  if (a.empty() || b.empty()) return -EINVAL;
  if (!IsOpen()) return -EBADF;
  UniqueFd da, db;
  std::string na, nb;
  if ((rc = OpenParent(a, da, na)) < 0) return rc;
  if ((rc = OpenParent(b, db, nb)) < 0) return rc;
  if (renameat2(da.get(), na.c_str(), db.get(), nb.c_str(), replace ? 0 : RENAME_NOREPLACE) != 0)
    return -errno;
  if ((rc = FlushDir(db.get())) < 0) return rc;
  return FlushDir(da.get());
}

int SessionFs::DurableReplace(const ustring& tmp, const ustring& target) const {
  std::string t;
  int rc = Normalize(target, t);
  if (rc < 0) return rc;
  if (t.empty()) return -EISDIR;
  {
    UniqueFd f;
    if ((rc = OpenRead(tmp, f)) < 0) return rc;
    if (fsync(f.get()) != 0) return -errno;
  }
  UniqueFd dir;
  std::string name;
  if ((rc = OpenParent(t, dir, name)) < 0) return rc;
  struct stat st;
  if (fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
    return -EISDIR;
  std::string s;
  if ((rc = Normalize(tmp, s)) < 0) return rc;
  UniqueFd sdir;
  std::string sname;
  if ((rc = OpenParent(s, sdir, sname)) < 0) return rc;
  if (renameat(sdir.get(), sname.c_str(), dir.get(), name.c_str()) != 0) return -errno;
  return FlushDir(dir.get());
}

int SessionFs::Unlink(const ustring& rel) const {
  std::string p;
  int rc = Normalize(rel, p);
  if (rc < 0) return rc;
  if (p.empty()) return -EISDIR;
  if (!IsOpen()) return -EBADF;
  UniqueFd dir;
  std::string name;
  if ((rc = OpenParent(p, dir, name)) < 0) return rc;
  return unlinkat(dir.get(), name.c_str(), 0) == 0 ? 0 : -errno;
}

int SessionFs::RemoveDir(const ustring& rel) const {
  std::string p;
  int rc = Normalize(rel, p);
  if (rc < 0) return rc;
  if (p.empty()) return -EBUSY;
  if (!IsOpen()) return -EBADF;
  UniqueFd dir;
  std::string name;
  if ((rc = OpenParent(p, dir, name)) < 0) return rc;
  return unlinkat(dir.get(), name.c_str(), AT_REMOVEDIR) == 0 ? 0 : -errno;
}

int SessionFs::RemoveTree(const ustring& rel) const {
  FILE_INFO info;
  int rc = Stat(rel, info);
  if (rc < 0) return rc;
  if (!info.isExist) return 0;
  if (info.type != FT_DIR) return Unlink(rel);
  std::vector<SessionDirEntry> entries;
  if ((rc = List(rel, entries)) < 0) return rc;
  int first = 0;
  std::string base(rel.utf8_view());
  if (!base.empty() && base.back() != '/') base += '/';
  for (const SessionDirEntry& e : entries) {
    int r = RemoveTree(ustring(base + e.name));
    if (r < 0 && first == 0) first = r;
  }
  rc = RemoveDir(rel);
  return first < 0 ? first : rc;
}

int SessionFs::SetTimes(const ustring& rel, uint32_t mtime) const {
  std::string p;
  int rc = Normalize(rel, p);
  if (rc < 0) return rc;
  if (!IsOpen()) return -EBADF;
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(mtime);
  times[1].tv_nsec = 0;
  if (p.empty()) {
    int fd = Openat2(root_fd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return fd;
    UniqueFd f(fd);
    return futimens(fd, times) == 0 ? 0 : -errno;
  }
  UniqueFd dir;
  std::string name;
  if ((rc = OpenParent(p, dir, name)) < 0) return rc;
  return utimensat(dir.get(), name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -errno;
}

int SessionFs::List(const ustring& rel, std::vector<SessionDirEntry>& out) const {
  out.clear();
  std::string p;
  int rc = Normalize(rel, p);
  if (rc < 0) return rc;
  if (!IsOpen()) return -EBADF;
  int fd = Openat2(root_fd_.get(), p.empty() ? "." : p.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return fd;
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    int err = errno;
    ::close(fd);
    return -err;
  }
  int result = 0;
  for (;;) {
    errno = 0;
    dirent* de = readdir(d);
    if (de == nullptr) {
      if (errno != 0) result = -errno;
      break;
    }
    std::string_view name(de->d_name);
    if (name == "." || name == "..") continue;
    struct stat st;
    if (fstatat(dirfd(d), de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // vanished
    SessionDirEntry e;
    e.name.assign(name);
    e.type = FileTypeFromMode(st.st_mode);
    e.mtime = ClampTime(st.st_mtim.tv_sec);
    e.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    out.push_back(std::move(e));
  }
  closedir(d);
  return result < 0 ? result : static_cast<int>(out.size());
}

ustring SessionFs::FdPath(int fd) { return ustring("/proc/self/fd/" + std::to_string(fd)); }

}  // namespace tidewell
