// Change notification for one directory tree, on Linux inotify.
//
// inotify watches single directories, so InotifyTree keeps one watch per
// directory of the tree: it walks the tree when opened, adds watches for
// directories that are created or moved in, re-labels the watches of a
// directory renamed inside the tree, and drops those of a directory deleted
// or moved out. It reports what happened as Notices with paths relative to
// the root ("/a/b.txt"); what the changes mean is the caller's business.
//
// Which notifications: creation, deletion, the two halves of a move, the
// close of a file that was open for writing and attribute changes
// (permissions, times). A file written in many pieces therefore yields one
// notice when the writer closes it, not one per write.
//
// A lost notification queue (kOverflow) or a root that vanished (kRootGone)
// is reported; so is the system's limit on watches (watch_limit_reached()),
// after which directories without a watch change unseen until the caller
// rescans.
//
// Not thread-safe: one thread opens, reads and closes an instance.

#ifndef TIDEWELL_PLATFORM_INOTIFY_TREE_H_
#define TIDEWELL_PLATFORM_INOTIFY_TREE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tidewell {

class InotifyTree {
 public:
  struct Notice {
    enum Kind {
      kCreated,    // a new entry (file, directory, link, ...)
      kModified,   // a file closed after writing, or attributes changed
      kDeleted,    // an entry removed
      kMovedFrom,  // first half of a move: `path` left its place
      kMovedTo,    // second half: an entry arrived at `path`
      kOverflow,   // notifications were lost; the tree must be rescanned
      kRootGone,   // the root itself was deleted, moved or unmounted
    };
    Kind kind = kCreated;
    bool is_dir = false;
    uint32_t cookie = 0;  // pairs kMovedFrom with kMovedTo of one rename
    std::string path;     // relative to the root, beginning with "/"
    // kModified only: a writer closed the file (rather than its
    // attributes changing), so what it wrote is complete.
    bool closed_write = false;
  };

  // How far to watch a directory below the root, by its relative path.
  enum Depth { kDescend, kShallow /* watch it, not its sub-directories */, kSkip };
  using DepthRule = std::function<Depth(std::string_view rel_path)>;

  // `rule` may be empty (watch everything). `max_watches` caps the number
  // of watches as the system limit would (0: only the system's limit); it
  // lets tests reach the limit.
  explicit InotifyTree(DepthRule rule = {}, size_t max_watches = 0);
  ~InotifyTree();
  InotifyTree(const InotifyTree&) = delete;
  InotifyTree& operator=(const InotifyTree&) = delete;

  // Starts watching the tree at `root` (an existing directory). Returns the
  // number of watches, or a negative error code when the root cannot be
  // watched. Hitting the watch limit below the root is not a failure: see
  // watch_limit_reached().
  [[nodiscard]] int Open(const std::string& root);
  void Close();

  // The descriptor to wait on for readability; -1 when closed.
  int fd() const { return fd_; }

  // Reads every pending notification without blocking and appends the
  // notices to `out`. 0, or a negative error code.
  [[nodiscard]] int Read(std::vector<Notice>& out);

  // Walks the tree again and adds watches for directories that have none
  // (after an overflow or once the limit is lifted). Returns the number
  // added, or a negative error code.
  int AddMissingWatches();

  bool watch_limit_reached() const { return limit_reached_; }
  size_t watch_count() const { return by_wd_.size(); }
  const std::string& root() const { return root_; }

 private:
  // Adds watches for `rel` and, as the rule allows, everything below it.
  void WatchTree(const std::string& rel);
  int AddOne(const std::string& rel);
  void DropSubtree(const std::string& rel);
  void RelabelSubtree(const std::string& from, const std::string& to);
  std::string Join(const std::string& dir, std::string_view name) const;
  Depth DepthOf(const std::string& rel) const;

  // Set at construction.
  const DepthRule rule_;
  const size_t max_watches_;

  int fd_ = -1;
  std::string root_;
  int root_wd_ = -1;
  bool limit_reached_ = false;
  std::unordered_map<int, std::string> by_wd_;  // watch -> relative dir
  std::map<std::string, int> by_path_;          // relative dir -> watch
  // Directories moved away in the current read, by cookie, until their
  // second half shows whether they stayed in the tree.
  std::map<uint32_t, std::string> moved_dirs_;
};

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_INOTIFY_TREE_H_
