#include "filter/black_list.h"

#include <utility>

#include "filter/parser.h"

namespace tidewell {
namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
    if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
    if (x != y) return false;
  }
  return true;
}

// Only texts that the rule file can hold and read back are accepted.
bool Storable(const ustring& text) {
  return !text.empty() && text.length() <= kParserMaxString &&
         text.utf8_view().find('\0') == std::string_view::npos;
}

int AddUnique(value_type_string_set* set, const ustring& text) {
  if (!Storable(text)) return -1;
  if (BlackList2::StringSetValueExist(*set, text)) return 0;
  return value_type_string_set_insert(set, text.c_str_utf8(), text.length()) == 0 ? 0 : -1;
}

}  // namespace

BlackList2& BlackList2::getInstance() {
  static BlackList2 instance;
  return instance;
}

BlackList2::BlackList2() { filter_init(&filter); }

BlackList2::~BlackList2() { Destroy(); }

int BlackList2::Load(const ustring& file) {
  Filter fresh;
  filter_init(&fresh);
  int rc = filter_read(&fresh, file.c_str_utf8());  // empty on failure
  std::lock_guard<std::recursive_mutex> lock(mutex);
  std::swap(filter, fresh);
  filter_destroy(&fresh);
  return rc == 0 ? 0 : -1;
}

void BlackList2::Clear() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  filter_destroy(&filter);
}

void BlackList2::Destroy() { Clear(); }

int BlackList2::Write(const ustring& file) {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return filter_write(&filter, file.c_str_utf8()) == 0 ? 0 : -1;
}

int BlackList2::TestFilePath(const ustring& path) {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return filter_test_path(&filter, 0, path.c_str_utf8());
}

int BlackList2::TestDirectoryPath(const ustring& path) {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return filter_test_path(&filter, 1, path.c_str_utf8());
}

int BlackList2::TestFileSize(uint64_t size) {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return filter_test_file_size(&filter, size);
}

int BlackList2::TestFullPathSize(uint64_t size) {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return filter_test_full_path_size(&filter, size);
}

int BlackList2::GetMajorVersion() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return filter.version.major;
}

int BlackList2::GetMinorVersion() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return filter.version.minor;
}

Filter* BlackList2::GetFilter() {
  mutex.lock();
  return &filter;
}

void BlackList2::ReturnFilter() { mutex.unlock(); }

int BlackList2::InsertFilter(VersionSection* section, int major, int minor) {
  section->major = major;
  section->minor = minor;
  return 0;
}

int BlackList2::InsertFilter(CommonSection* section, int code, uint64_t value) {
  switch (code) {
    case FILTER_LENGTH: section->max_length = value; return 0;
    case FILTER_PATH_SIZE: section->max_path = value; return 0;
    default: return -1;
  }
}

int BlackList2::InsertFilter(FileSection* section, int code, uint64_t value) {
  switch (code) {
    case FILTER_FILE_SIZE: section->max_size = value; return 0;
    case FILTER_FILE_SIZE_SELECTIVE_SYNC: section->max_size_selective_sync = value; return 0;
    default: return -1;
  }
}

int BlackList2::InsertFilter(CommonSection* section, int code, const ustring& text) {
  switch (code) {
    case FILTER_CHAR:
      if (!Storable(text)) return -1;
      return value_type_string_set_value(&section->black_char, text.c_str_utf8(), text.length()) == 0 ? 0 : -1;
    case FILTER_PREFIX: return AddUnique(&section->black_prefix, text);
    case FILTER_NAME: return AddUnique(&section->black_name, text);
    case FILTER_DIR_PREFIX: return AddUnique(&section->black_dir_prefix, text);
    case FILTER_PATH_PREFIX_SELECTIVE_SYNC:
      return AddUnique(&section->black_path_prefix_selective_sync, text);
    default: return -1;
  }
}

int BlackList2::InsertFilter(FileSection* section, int code, const ustring& text) {
  switch (code) {
    case FILTER_PREFIX: return AddUnique(&section->black_prefix, text);
    case FILTER_NAME: return AddUnique(&section->black_name, text);
    case FILTER_EXT: return AddUnique(&section->black_ext, text);
    case FILTER_EXT_SELECTIVE_SYNC: return AddUnique(&section->black_ext_selective_sync, text);
    case FILTER_NAME_SELECTIVE_SYNC: return AddUnique(&section->black_name_selective_sync, text);
    default: return -1;
  }
}

int BlackList2::InsertFilter(DirectorySection* section, int code, const ustring& text) {
  return code == FILTER_NAME ? AddUnique(&section->black_name, text) : -1;
}

int BlackList2::RemoveFilter(CommonSection* section, int code, const ustring& text) {
  value_type_string_set* set = code == FILTER_PREFIX       ? &section->black_prefix
                               : code == FILTER_DIR_PREFIX ? &section->black_dir_prefix
                                                           : nullptr;
  if (set == nullptr) return -1;
  (void)value_type_string_set_remove(set, text.c_str_utf8());
  return 0;
}

int BlackList2::RemoveFilter(FileSection* section, int code, const ustring& text) {
  if (code != FILTER_EXT_SELECTIVE_SYNC) return -1;
  (void)value_type_string_set_remove(&section->black_ext_selective_sync, text.c_str_utf8());
  return 0;
}

bool BlackList2::StringSetValueExist(const value_type_string_set& set, const ustring& value) {
  for (size_t i = 0; i < set.used; ++i) {
    if (EqualNoCase(set.set[i], value.utf8_view())) return true;
  }
  return false;
}

}  // namespace tidewell
