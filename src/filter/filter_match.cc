// Testing paths, sizes and attribute names against a black-list record.
// Every comparison of names, prefixes, extensions and path prefixes folds
// ASCII letters only; other bytes compare as they are.

#include <cstring>
#include <string_view>

#include "filter/filter.h"

namespace tidewell {
namespace {

// Longest directory part and name a file path may have.
constexpr size_t kMaxDirPart = 4095;
constexpr size_t kMaxName = 511;

unsigned char Fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

bool StartsNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

// Entries that could never come from a file (empty ones) are ignored, so
// that a stray empty prefix cannot exclude everything.
template <typename Pred>
bool AnyEntry(const value_type_string_set& set, Pred pred) {
  for (size_t i = 0; i < set.used; ++i) {
    std::string_view entry(set.set[i]);
    if (!entry.empty() && pred(entry)) return true;
  }
  return false;
}

bool HasChar(const value_type_string& chars, std::string_view name) {
  if (chars.str == nullptr) return false;
  for (const char* c = chars.str; *c != '\0'; ++c) {
    for (char n : name) {
      if (Fold(*c) == Fold(n)) return true;
    }
  }
  return false;
}

bool HasName(const value_type_string_set& set, std::string_view name) {
  return AnyEntry(set, [&](std::string_view e) { return EqualNoCase(name, e); });
}

bool HasPrefix(const value_type_string_set& set, std::string_view name) {
  return AnyEntry(set, [&](std::string_view e) { return StartsNoCase(name, e); });
}

// Entry P matches the path P itself and everything below it, not /Pxyz.
bool HasPathPrefix(const value_type_string_set& set, std::string_view path) {
  return AnyEntry(set, [&](std::string_view e) {
    return StartsNoCase(path, e) && (path.size() == e.size() || path[e.size()] == '/');
  });
}

// Checks each component of `dirs` from the top; `whole` is the full path the
// caller is testing, which the path-prefix rules look at.
int TestDirectories(const Filter* filter, std::string_view dirs, std::string_view whole) {
  const CommonSection& c = filter->common;
  const DirectorySection& d = filter->directory;
  size_t pos = 0;
  while (pos < dirs.size()) {
    size_t end = dirs.find('/', pos);
    if (end == std::string_view::npos) end = dirs.size();
    std::string_view name = dirs.substr(pos, end - pos);
    pos = end + 1;
    if (name.empty()) continue;
    if (HasChar(c.black_char, name)) return FILTER_CHAR;
    if (HasPrefix(c.black_prefix, name)) return FILTER_PREFIX;
    if (HasPathPrefix(c.black_dir_prefix, whole)) return FILTER_DIR_PREFIX;
    if (HasName(c.black_name, name)) return FILTER_NAME;
    if (c.max_length != 0 && name.size() > c.max_length) return FILTER_LENGTH;
    if (HasPathPrefix(c.black_path_prefix_selective_sync, whole)) {
      return FILTER_PATH_PREFIX_SELECTIVE_SYNC;
    }
    if (HasChar(d.black_char, name)) return FILTER_CHAR;
    if (HasName(d.black_name, name)) return FILTER_NAME;
    if (HasPrefix(d.black_prefix, name)) return FILTER_PREFIX;
  }
  return FILTER_OK;
}

}  // namespace

int filter_test_path(const Filter* filter, int is_dir, const char* path) {
  if (path == nullptr) return is_dir ? FILTER_OK : FILTER_ERROR;
  std::string_view whole(path);
  if (is_dir) return TestDirectories(filter, whole, whole);

  if (whole.empty() || whole[0] != '/') return FILTER_ERROR;
  size_t slash = whole.rfind('/');
  std::string_view dirs = whole.substr(0, slash + 1);
  std::string_view name = whole.substr(slash + 1);
  if (dirs.size() > kMaxDirPart || name.size() > kMaxName) return FILTER_ERROR;
  size_t dot = name.rfind('.');
  std::string_view ext = (dot == std::string_view::npos || dot == 0) ? std::string_view()
                                                                       : name.substr(dot + 1);

  const CommonSection& c = filter->common;
  const FileSection& f = filter->file;
  if (c.max_length != 0 && name.size() > c.max_length) return FILTER_LENGTH;
  if (HasChar(c.black_char, name)) return FILTER_CHAR;
  if (HasPrefix(c.black_prefix, name)) return FILTER_PREFIX;
  if (HasPathPrefix(c.black_dir_prefix, whole)) return FILTER_DIR_PREFIX;
  if (HasName(c.black_name, name)) return FILTER_NAME;
  if (HasPathPrefix(c.black_path_prefix_selective_sync, whole)) {
    return FILTER_PATH_PREFIX_SELECTIVE_SYNC;
  }
  if (HasChar(f.black_char, name)) return FILTER_CHAR;
  if (HasName(f.black_ext, ext)) return FILTER_EXT;
  if (HasName(f.black_name, name)) return FILTER_NAME;
  if (HasPrefix(f.black_prefix, name)) return FILTER_PREFIX;
  if (HasName(f.black_name_selective_sync, name)) return FILTER_NAME_SELECTIVE_SYNC;
  if (HasName(f.black_ext_selective_sync, ext)) return FILTER_EXT_SELECTIVE_SYNC;
  return TestDirectories(filter, dirs, whole);
}

int filter_test_file_size(const Filter* filter, uint64_t size) {
  const FileSection& f = filter->file;
  if (f.max_size != 0 && size > f.max_size) return FILTER_FILE_SIZE;
  if (f.max_size_selective_sync != 0 && size > f.max_size_selective_sync) {
    return FILTER_FILE_SIZE_SELECTIVE_SYNC;
  }
  return FILTER_OK;
}

int filter_test_full_path_size(const Filter* filter, uint64_t size) {
  uint64_t max_path = filter->common.max_path;
  return (max_path != 0 && size > max_path) ? FILTER_PATH_SIZE : FILTER_OK;
}

int filter_test_ea(const Filter* filter, const char* name) {
  if (name == nullptr) return FILTER_OK;
  return HasName(filter->ea.black_ea_name, name) ? FILTER_EA_NAME : FILTER_OK;
}

}  // namespace tidewell
