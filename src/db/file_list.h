// FileList: a tree of directory and file names with modification times and
// sizes, built from a disk walk or from the event database, and walked in
// reverse order so that two lists can be compared in one merge pass.
//
// Names are interned in a caller-owned StringBuffer that may be shared by
// several lists and must outlive them. Not thread-safe.

#ifndef TIDEWELL_DB_FILE_LIST_H_
#define TIDEWELL_DB_FILE_LIST_H_

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "base/ustring.h"
#include "db/string_buffer.h"

namespace tidewell {

class FileList {
 public:
  struct FileNode {
    String name;
    uint32_t mtime = 0;
    uint64_t size = 0;
  };

  struct DirNode {
    String name;
    DirNode* parent = nullptr;
    std::map<String, DirNode> dir;
    std::map<String, FileNode> file;
    uint32_t mtime = 0;
    int index = -1;  // position in the list's directory table
  };

  // What an iterator yields: `attrb` 1 for a directory, 0 for a file; `path`
  // "/" + the names from the list's root joined by "/"; `size` 0 for
  // directories.
  struct Entry {
    int attrb = 0;
    ustring path;
    uint32_t mtime = 0;
    uint64_t size = 0;
  };

  // Walks the tree in reverse: within a directory, files and subdirectories
  // together in descending byte order of their names, each subdirectory's
  // whole content before the subdirectory itself; the root is not yielded.
  // Invalidated by any change to the list.
  class reverse_iterator {
   public:
    enum State { PRINT_ME = 0, PRINT_DIR = 1, PRINT_FILE = 2 };

    const Entry& operator*() const { return ent; }
    const Entry* operator->() const { return &ent; }
    reverse_iterator& operator++();
    // Iterators are equal when both are past the end, or both stand on the
    // same entry.
    bool operator==(const reverse_iterator& other) const;
    bool operator!=(const reverse_iterator& other) const { return !(*this == other); }

   private:
    friend class FileList;
    struct stack_entry {
      const DirNode* node;
      std::map<String, FileNode>::const_reverse_iterator file_it;
      std::map<String, DirNode>::const_reverse_iterator dir_it;
    };

    explicit reverse_iterator(const FileList* list) : flist(list) {}
    void Push(const DirNode* node);
    void Yield(int attrb, String name, uint32_t mtime, uint64_t size);

    const FileList* flist;
    const DirNode* cur = nullptr;  // null past the end
    std::vector<stack_entry> stack;
    State state = PRINT_ME;
    Entry ent;
  };

  explicit FileList(StringBuffer& buf);
  FileList(const FileList&) = delete;
  FileList& operator=(const FileList&) = delete;

  // Index of the root directory.
  static constexpr int kRoot = 0;

  // Adds directory `name` below `parent`. Returns the new directory's index,
  // or -1 when the parent already holds a directory or file of that name,
  // the index is unknown, or the name pool is full.
  [[nodiscard]] int AddDirectory(DirNode* parent, const char* name, uint32_t mtime);
  [[nodiscard]] int AddDirectory(int index, const char* name, uint32_t mtime);
  // Walks a "/"-separated path from the root, creating missing directories,
  // and sets the last one's time (an existing directory is fine). Returns its
  // index, or -1 when a component is a file or the pool is full.
  [[nodiscard]] int AddDirectory(const char* path, uint32_t mtime);

  // The same for files: 0, or -1 when the name is taken, the parent index is
  // unknown, the path is empty, a parent component is a file or the pool is
  // full. Missing parents of a path are created with time 0.
  [[nodiscard]] int AddFile(DirNode* parent, const char* name, uint32_t mtime, uint64_t size);
  [[nodiscard]] int AddFile(int index, const char* name, uint32_t mtime, uint64_t size);
  [[nodiscard]] int AddFile(const char* path, uint32_t mtime, uint64_t size);

  // The directory with `index`, or null.
  DirNode* GetDirectory(int index);
  DirNode* root() { return &root_; }

  reverse_iterator rbegin() const;
  reverse_iterator rend() const;

 private:
  // The directory `path` names, creating what is missing; null on failure.
  DirNode* WalkPath(const char* path, size_t len);
  DirNode* AddDirectoryNode(DirNode* parent, std::string_view name, uint32_t mtime);

  // Set at construction.
  StringBuffer& buf_;
  DirNode root_;
  // Every directory, by index; node_[kRoot] is the root.
  std::vector<DirNode*> node_;
};

}  // namespace tidewell

#endif  // TIDEWELL_DB_FILE_LIST_H_
