#include "platform/trash.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/utf8_prefix.h"
#include "platform/fd_io.h"
#include "platform/file_rename.h"
#include "platform/path_util.h"

namespace tidewell {

namespace {

// TryTrash's result when this trash cannot be used and the next may.
constexpr int kSkip = 1;

// A name in files/ plus ".trashinfo" must fit one directory entry; leave
// room for a ".NNNNN" counter.
constexpr size_t kMaxStem = NAME_MAX - (sizeof(".trashinfo") - 1) - 6;

struct Trash {
  std::string root;    // the folder holding files/ and info/
  std::string topdir;  // empty for the home trash: record absolute paths
};

// Makes `dir` a private directory of ours if it is missing; an existing one
// must be a real directory (not a link) owned by us.
bool EnsurePrivateDir(const std::string& dir) {
  if (mkdir(dir.c_str(), 0700) == 0) return true;
  if (errno != EEXIST) return false;
  struct stat st;
  return lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
}

// Creates `dir` and its missing parents with mode 0700 (as the base
// directory rules ask for data folders).
bool MakeDirs(const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  if (errno != ENOENT || dir == "/" || dir == ".") return false;
  if (!MakeDirs(pathutil::ParentOf(dir))) return false;
  return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

bool EnsureTrashLayout(const std::string& root) {
  return EnsurePrivateDir(root) && EnsurePrivateDir(root + "/files") &&
         EnsurePrivateDir(root + "/info");
}

// Device of `path`, or of its nearest existing ancestor.
std::optional<dev_t> DeviceOfNearest(std::string path) {
  for (;;) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return st.st_dev;
    if (path == "/" || path == ".") return std::nullopt;
    path = pathutil::ParentOf(path);
  }
}

// The mount point holding `dir` (a canonical absolute directory on `dev`).
std::string MountTopOf(std::string dir, dev_t dev) {
  while (dir != "/") {
    std::string parent = pathutil::ParentOf(dir);
    struct stat st;
    if (stat(parent.c_str(), &st) != 0 || st.st_dev != dev) break;
    dir = parent;
  }
  return dir;
}

// Trash folders at the top of a mount, in order of preference.
std::vector<Trash> TopdirTrashes(const std::string& topdir) {
  std::vector<Trash> out;
  std::string uid = std::to_string(geteuid());
  std::string shared = pathutil::Join(topdir, ".Trash");
  struct stat st;
  if (lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0) {
    out.push_back({pathutil::Join(shared, uid), topdir});
  }
  out.push_back({pathutil::Join(topdir, ".Trash-" + uid), topdir});
  return out;
}

// The value of Path= for `original` in `trash`: relative to the top
// directory for a mount's trash, absolute for the home trash.
std::string RecordedPath(const Trash& trash, const std::string& original) {
  if (trash.topdir.empty()) return original;
  if (trash.topdir == "/") return original.substr(1);
  return original.substr(trash.topdir.size() + 1);
}

int WriteInfo(int fd, const std::string& record) {
  if (WriteAll(fd, record.data(), record.size()) != 0) return -1;
  return fsync(fd);
}

// Moves `item` into `trash`. 0, kSkip, or -1 with errno.
int TryTrash(const Trash& trash, const std::string& item, const std::string& original) {
  if (!EnsureTrashLayout(trash.root)) return kSkip;
  std::string record = TrashInfoRecord(RecordedPath(trash, original), time(nullptr));
  std::string stem(Utf8Prefix(pathutil::BaseNameOf(original), kMaxStem));
  for (int n = 1; n <= 100000; ++n) {
    std::string name = n == 1 ? stem : stem + "." + std::to_string(n);
    std::string info = trash.root + "/info/" + name + ".trashinfo";
    std::string target = trash.root + "/files/" + name;
    // The record is created first and exclusively: it reserves the name.
    int fd = open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return kSkip;
    struct stat st;
    bool taken = lstat(target.c_str(), &st) == 0;
    bool written = !taken && WriteInfo(fd, record) == 0;
    close(fd);
    if (!written) {
      unlink(info.c_str());
      if (taken) continue;
      return kSkip;
    }
    int r;
    {
      std::lock_guard<std::mutex> lock(RenameMutex());
      r = renameat2(AT_FDCWD, item.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
      if (r != 0 && errno == EINVAL && lstat(target.c_str(), &st) != 0) {
        r = rename(item.c_str(), target.c_str());  // no RENAME_NOREPLACE here
      }
    }
    if (r == 0) {
      SyncDirectory((trash.root + "/info").c_str());
      SyncDirectory((trash.root + "/files").c_str());
      SyncDirectory(pathutil::ParentOf(item).c_str());
      return 0;
    }
    int err = errno;
    unlink(info.c_str());
    if (err == EEXIST) continue;
    if (err == EXDEV) return kSkip;
    errno = err;
    return -1;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

std::string HomeTrashDir() {
  const char* xdg = getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') return pathutil::Join(xdg, "Trash");
  std::string home;
  if (const char* env = getenv("HOME"); env != nullptr && env[0] == '/') {
    home = env;
  } else {
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found) {
      home = found->pw_dir;
    }
  }
  if (home.empty()) return std::string();
  return pathutil::Join(home, ".local/share/Trash");
}

std::string TrashInfoRecord(std::string_view original, time_t when) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "[Trash Info]\nPath=";
  for (unsigned char c : original) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  struct tm local;
  localtime_r(&when, &local);
  char date[32];
  strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  out += "\nDeletionDate=";
  out += date;
  out += "\n";
  return out;
}

int MoveToTrash(const ustring& path) {
  std::string_view trimmed = pathutil::TrimTrailingSlashes(path.utf8_view());
  std::string_view base = pathutil::BaseNameOf(trimmed);
  if (trimmed.empty() || base == "/" || base == "." || base == "..") {
    errno = EINVAL;
    return -1;
  }
  std::string item(trimmed);
  struct stat st;
  if (lstat(item.c_str(), &st) != 0) return -1;
  // The original location, canonical but without resolving the item itself.
  std::unique_ptr<char, void (*)(void*)> parent(realpath(pathutil::ParentOf(item).c_str(), nullptr),
                                                &free);
  if (!parent) return -1;
  std::string real_parent = parent.get();
  std::string original = pathutil::Join(real_parent, base);

  std::vector<Trash> candidates;
  std::string home_trash = HomeTrashDir();
  if (!home_trash.empty()) {
    std::optional<dev_t> home_dev = DeviceOfNearest(home_trash);
    if (home_dev && *home_dev == st.st_dev) {
      if (MakeDirs(pathutil::ParentOf(home_trash)))
        candidates.push_back({home_trash, std::string()});
    }
  }
  for (Trash& t : TopdirTrashes(MountTopOf(real_parent, st.st_dev))) candidates.push_back(t);

  for (const Trash& trash : candidates) {
    int r = TryTrash(trash, item, original);
    if (r != kSkip) return r;
  }
  return kTrashUnavailable;
}

}  // namespace tidewell
