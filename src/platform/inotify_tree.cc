#include "platform/inotify_tree.h"

#include <dirent.h>
#include <errno.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "base/error_code.h"

namespace tidewell {
namespace {

constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF |
                                IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW |
                                IN_EXCL_UNLINK;

bool IsUnder(const std::string& path, const std::string& dir) {
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
         path[dir.size()] == '/';
}

}  // namespace

InotifyTree::InotifyTree(DepthRule rule, size_t max_watches)
    : rule_(std::move(rule)), max_watches_(max_watches) {}

InotifyTree::~InotifyTree() { Close(); }

std::string InotifyTree::Join(const std::string& dir, std::string_view name) const {
  if (name.empty()) return dir;  // about the watched folder itself
  std::string out = dir == "/" ? std::string() : dir;
  out += '/';
  out += name;
  return out;
}

InotifyTree::Depth InotifyTree::DepthOf(const std::string& rel) const {
  if (!rule_ || rel == "/") return kDescend;
  // Below a folder that is watched shallowly or not at all, nothing is.
  for (size_t slash = rel.find('/', 1); slash != std::string::npos;
       slash = rel.find('/', slash + 1)) {
    if (rule_(std::string_view(rel).substr(0, slash)) != kDescend) return kSkip;
  }
  return rule_(rel);
}

int InotifyTree::Open(const std::string& root) {
  Close();
  root_ = root;
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) return ERR_SYS;
  int r = AddOne("/");
  if (r < 0) {
    Close();
    return r;
  }
  root_wd_ = r;
  WatchTree("/");
  return static_cast<int>(by_wd_.size());
}

void InotifyTree::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  root_wd_ = -1;
  limit_reached_ = false;
  by_wd_.clear();
  by_path_.clear();
  moved_dirs_.clear();
}

int InotifyTree::AddOne(const std::string& rel) {
  if (max_watches_ != 0 && by_wd_.size() >= max_watches_ && !by_path_.count(rel)) {
    limit_reached_ = true;
    return ERR_SYS;
  }
  std::string full = rel == "/" ? root_ : root_ + rel;
  int wd = inotify_add_watch(fd_, full.c_str(), kWatchMask);
  if (wd < 0) {
    if (errno == ENOSPC) limit_reached_ = true;
    return errno == ENOENT || errno == ENOTDIR ? ERR_NOENT : ERR_SYS;
  }
  auto old = by_wd_.find(wd);
  if (old != by_wd_.end() && old->second != rel) by_path_.erase(old->second);
  by_wd_[wd] = rel;
  by_path_[rel] = wd;
  return wd;
}

void InotifyTree::WatchTree(const std::string& top) {
  std::vector<std::string> pending{top};
  while (!pending.empty()) {
    std::string rel = std::move(pending.back());
    pending.pop_back();
    std::string full = rel == "/" ? root_ : root_ + rel;
    DIR* dir = opendir(full.c_str());
    if (dir == nullptr) continue;  // vanished meanwhile
    while (dirent* de = readdir(dir)) {
      if (std::strcmp(de->d_name, ".") == 0 || std::strcmp(de->d_name, "..") == 0) continue;
      bool is_dir = de->d_type == DT_DIR;
      std::string child = Join(rel, de->d_name);
      if (de->d_type == DT_UNKNOWN) {
        struct stat st;
        is_dir = lstat((root_ + child).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      }
      if (!is_dir) continue;
      Depth depth = DepthOf(child);
      if (depth == kSkip) continue;
      if (!by_path_.count(child) && AddOne(child) < 0) continue;
      if (depth == kDescend) pending.push_back(child);
    }
    closedir(dir);
  }
}

int InotifyTree::AddMissingWatches() {
  if (fd_ < 0) return ERR_INVAL;
  size_t before = by_wd_.size();
  limit_reached_ = false;
  WatchTree("/");
  return static_cast<int>(by_wd_.size() - before);
}

void InotifyTree::DropSubtree(const std::string& rel) {
  for (auto it = by_path_.lower_bound(rel); it != by_path_.end();) {
    if (it->first != rel && !IsUnder(it->first, rel)) {
      if (it->first.compare(0, rel.size(), rel) != 0) break;
      ++it;  // a sibling such as "/a b" sorts between "/a" and "/a/..."
      continue;
    }
    inotify_rm_watch(fd_, it->second);
    by_wd_.erase(it->second);
    it = by_path_.erase(it);
  }
}

void InotifyTree::RelabelSubtree(const std::string& from, const std::string& to) {
  std::vector<std::pair<std::string, int>> moved;
  for (auto it = by_path_.lower_bound(from); it != by_path_.end();) {
    if (it->first != from && !IsUnder(it->first, from)) {
      if (it->first.compare(0, from.size(), from) != 0) break;
      ++it;
      continue;
    }
    moved.emplace_back(to + it->first.substr(from.size()), it->second);
    it = by_path_.erase(it);
  }
  for (auto& [path, wd] : moved) {
    by_wd_[wd] = path;
    by_path_[path] = wd;
  }
}

int InotifyTree::Read(std::vector<Notice>& out) {
  if (fd_ < 0) return ERR_INVAL;
  alignas(inotify_event) char buf[65536];
  for (;;) {
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) break;
      return ERR_IO;
    }
    if (n == 0) break;
    for (char* p = buf; p < buf + n;) {
      auto* ev = reinterpret_cast<inotify_event*>(p);
      p += sizeof(inotify_event) + ev->len;
      if (ev->mask & IN_Q_OVERFLOW) {
        out.push_back({Notice::kOverflow, false, 0, "/"});
        continue;
      }
      auto it = by_wd_.find(ev->wd);
      if (ev->mask & IN_IGNORED) {
        if (ev->wd == root_wd_ && root_wd_ >= 0) {
          out.push_back({Notice::kRootGone, true, 0, "/"});
          root_wd_ = -1;
        }
        if (it != by_wd_.end()) {
          auto pit = by_path_.find(it->second);
          if (pit != by_path_.end() && pit->second == ev->wd) by_path_.erase(pit);
          by_wd_.erase(it);
        }
        continue;
      }
      if (it == by_wd_.end()) continue;  // a watch already dropped
      if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
        // A sub-folder's own removal is reported by its parent.
        if (ev->wd == root_wd_) {
          out.push_back({Notice::kRootGone, true, 0, "/"});
          inotify_rm_watch(fd_, root_wd_);
          root_wd_ = -1;
        }
        continue;
      }
      const bool is_dir = (ev->mask & IN_ISDIR) != 0;
      std::string rel = Join(it->second, ev->len ? std::string_view(ev->name) : "");
      if (ev->mask & IN_CREATE) {
        out.push_back({Notice::kCreated, is_dir, 0, rel});
        if (is_dir && DepthOf(rel) != kSkip && AddOne(rel) >= 0 &&
            DepthOf(rel) == kDescend)
          WatchTree(rel);
      } else if (ev->mask & IN_DELETE) {
        out.push_back({Notice::kDeleted, is_dir, 0, rel});
        if (is_dir) DropSubtree(rel);
      } else if (ev->mask & IN_MOVED_FROM) {
        out.push_back({Notice::kMovedFrom, is_dir, ev->cookie, rel});
        if (is_dir) moved_dirs_[ev->cookie] = rel;
      } else if (ev->mask & IN_MOVED_TO) {
        out.push_back({Notice::kMovedTo, is_dir, ev->cookie, rel});
        if (!is_dir) continue;
        auto from = moved_dirs_.find(ev->cookie);
        Depth depth = DepthOf(rel);
        if (from != moved_dirs_.end()) {
          if (depth == kSkip) {
            DropSubtree(from->second);
          } else {
            RelabelSubtree(from->second, rel);
          }
          moved_dirs_.erase(from);
        } else if (depth != kSkip && AddOne(rel) >= 0 && depth == kDescend) {
          WatchTree(rel);
        }
      } else if (ev->mask & (IN_CLOSE_WRITE | IN_ATTRIB)) {
        out.push_back({Notice::kModified, is_dir, 0, rel, (ev->mask & IN_CLOSE_WRITE) != 0});
      }
    }
  }
  // Moved away with no second half: the folder left the tree, and its
  // watches would report from outside it.
  for (auto& [cookie, rel] : moved_dirs_) DropSubtree(rel);
  moved_dirs_.clear();
  return 0;
}

}  // namespace tidewell
