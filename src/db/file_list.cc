#include "db/file_list.h"

#include <cstring>
#include <string_view>

namespace tidewell {

FileList::FileList(StringBuffer& buf) : buf_(buf) {
  root_.index = kRoot;
  node_.push_back(&root_);
}

FileList::DirNode* FileList::GetDirectory(int index) {
  if (index < 0 || static_cast<size_t>(index) >= node_.size()) return nullptr;
  return node_[index];
}

FileList::DirNode* FileList::AddDirectoryNode(DirNode* parent, std::string_view name,
                                              uint32_t mtime) {
  if (parent->file.count(name) != 0 || parent->dir.count(name) != 0) return nullptr;
  String stored;
  if (buf_.Intern(name, &stored) != 0) return nullptr;
  DirNode& d = parent->dir[stored];
  d.name = stored;
  d.parent = parent;
  d.mtime = mtime;
  d.index = static_cast<int>(node_.size());
  node_.push_back(&d);
  return &d;
}

int FileList::AddDirectory(DirNode* parent, const char* name, uint32_t mtime) {
  if (parent == nullptr || name == nullptr) return -1;
  if (AddDirectoryNode(parent, name, mtime) == nullptr) return -1;
  return static_cast<int>(node_.size() - 1);
}

int FileList::AddDirectory(int index, const char* name, uint32_t mtime) {
  return AddDirectory(GetDirectory(index), name, mtime);
}

FileList::DirNode* FileList::WalkPath(const char* path, size_t len) {
  DirNode* d = &root_;
  std::string_view rest(path, len);
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view name = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (name.empty()) continue;
    auto it = d->dir.find(name);
    if (it != d->dir.end()) {
      d = &it->second;
      continue;
    }
    d = AddDirectoryNode(d, name, 0);
    if (d == nullptr) return nullptr;
  }
  return d;
}

int FileList::AddDirectory(const char* path, uint32_t mtime) {
  if (path == nullptr) return -1;
  DirNode* d = WalkPath(path, std::strlen(path));
  if (d == nullptr) return -1;
  d->mtime = mtime;
  return d->index;
}

int FileList::AddFile(DirNode* parent, const char* name, uint32_t mtime, uint64_t size) {
  if (parent == nullptr || name == nullptr) return -1;
  std::string_view n(name);
  if (parent->file.count(n) != 0 || parent->dir.count(n) != 0) return -1;
  String stored;
  if (buf_.Intern(n, &stored) != 0) return -1;
  parent->file[stored] = FileNode{stored, mtime, size};
  return 0;
}

int FileList::AddFile(int index, const char* name, uint32_t mtime, uint64_t size) {
  return AddFile(GetDirectory(index), name, mtime, size);
}

int FileList::AddFile(const char* path, uint32_t mtime, uint64_t size) {
  if (path == nullptr) return -1;
  std::string_view p(path);
  while (!p.empty() && p.back() == '/') p.remove_suffix(1);
  size_t slash = p.rfind('/');
  std::string_view name = slash == std::string_view::npos ? p : p.substr(slash + 1);
  if (name.empty()) return -1;
  DirNode* parent = slash == std::string_view::npos ? &root_ : WalkPath(p.data(), slash);
  if (parent == nullptr) return -1;
  std::string owned(name);
  return AddFile(parent, owned.c_str(), mtime, size);
}

FileList::reverse_iterator FileList::rbegin() const {
  reverse_iterator it(this);
  it.Push(&root_);
  ++it;
  return it;
}

FileList::reverse_iterator FileList::rend() const { return reverse_iterator(this); }

void FileList::reverse_iterator::Push(const DirNode* node) {
  stack.push_back({node, node->file.rbegin(), node->dir.rbegin()});
}

void FileList::reverse_iterator::Yield(int attrb, String name, uint32_t mtime, uint64_t size) {
  std::string path;
  // Skip the root frame; when yielding a directory it has been popped.
  for (size_t i = 1; i < stack.size(); ++i) {
    path += '/';
    path.append(stack[i].node->name);
  }
  path += '/';
  path.append(name);
  ent.attrb = attrb;
  ent.path = path;
  ent.mtime = mtime;
  ent.size = size;
}

FileList::reverse_iterator& FileList::reverse_iterator::operator++() {
  while (!stack.empty()) {
    stack_entry& top = stack.back();
    bool has_file = top.file_it != top.node->file.rend();
    bool has_dir = top.dir_it != top.node->dir.rend();
    if (!has_file && !has_dir) {
      // A directory's content is done: the directory itself comes next.
      const DirNode* done = top.node;
      stack.pop_back();
      if (stack.empty()) break;  // the root is not yielded
      state = PRINT_ME;
      cur = done;
      Yield(1, done->name, done->mtime, 0);
      return *this;
    }
    if (has_dir && (!has_file || top.dir_it->first > top.file_it->first)) {
      const DirNode* d = &top.dir_it->second;
      ++top.dir_it;
      state = PRINT_DIR;
      Push(d);
      continue;
    }
    const FileNode& f = top.file_it->second;
    ++top.file_it;
    state = PRINT_FILE;
    cur = top.node;
    Yield(0, f.name, f.mtime, f.size);
    return *this;
  }
  cur = nullptr;
  ent = Entry();
  return *this;
}

bool FileList::reverse_iterator::operator==(const reverse_iterator& other) const {
  if (cur == nullptr || other.cur == nullptr) return cur == other.cur;
  return flist == other.flist && cur == other.cur && ent.attrb == other.ent.attrb &&
         ent.path == other.ent.path;
}

}  // namespace tidewell
