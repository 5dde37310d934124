// BlackList2: a black-list record (filter.h) with a mutex, for use by many
// threads. The daemon has one process-wide instance (the system filter,
// getInstance()) and one per session, loaded from "blacklist.filter".
//
// Thread-safe: every operation takes `mutex`. Load reads the file before
// taking the lock and swaps the new record in, so a test sees either the old
// or the new rules, never a half-loaded record. The InsertFilter and
// RemoveFilter family edits a section obtained through GetFilter(), with the
// lock held until ReturnFilter(). The lock is recursive: the thread holding
// the record may call every other operation (Write after an edit, a test)
// before it returns the record.

#ifndef TIDEWELL_FILTER_BLACK_LIST_H_
#define TIDEWELL_FILTER_BLACK_LIST_H_

#include <cstdint>
#include <mutex>

#include "base/ustring.h"
#include "filter/filter.h"

namespace tidewell {

class BlackList2 {
 public:
  // The system filter, created empty on first use.
  static BlackList2& getInstance();

  BlackList2();
  ~BlackList2();
  BlackList2(const BlackList2&) = delete;
  BlackList2& operator=(const BlackList2&) = delete;

  // Replaces the rules by those of `file`. 0; -1 when the file is missing
  // or broken, and the list is then empty (it excludes nothing).
  [[nodiscard]] int Load(const ustring& file);
  // Empties the record.
  void Clear();
  // Frees the record's values (the list is then empty).
  void Destroy();
  // Writes the rules to `file` (replacing it durably). 0 or -1.
  [[nodiscard]] int Write(const ustring& file);

  // Result codes of filter_test_path & co (filter.h): 0 when not excluded.
  int TestFilePath(const ustring& path);
  int TestDirectoryPath(const ustring& path);
  int TestFileSize(uint64_t size);
  int TestFullPathSize(uint64_t size);

  int GetMajorVersion();
  int GetMinorVersion();

  // Takes the lock and returns the record for direct reading and for the
  // InsertFilter/RemoveFilter family; ReturnFilter() releases the lock.
  Filter* GetFilter();
  void ReturnFilter();

  // Each of these expects the lock held through GetFilter() and a section of
  // the record it returned. Codes are the rule codes of filter.h.
  // Sets the version numbers; 0.
  static int InsertFilter(VersionSection* section, int major, int minor);
  // FILTER_LENGTH -> max_length, FILTER_PATH_SIZE -> max_path; 0, or -1 for
  // any other code.
  static int InsertFilter(CommonSection* section, int code, uint64_t value);
  // FILTER_FILE_SIZE -> max_size, FILTER_FILE_SIZE_SELECTIVE_SYNC ->
  // max_size_selective_sync; 0, or -1.
  static int InsertFilter(FileSection* section, int code, uint64_t value);
  // FILTER_CHAR replaces black_char; FILTER_PREFIX, FILTER_NAME,
  // FILTER_DIR_PREFIX and FILTER_PATH_PREFIX_SELECTIVE_SYNC add `text` to
  // their set unless an entry equal to it ignoring ASCII case is there. 0
  // when added or present; -1 for another code, out of memory, or a text
  // the rule file cannot hold (empty, or longer than 512 bytes).
  static int InsertFilter(CommonSection* section, int code, const ustring& text);
  // FILTER_PREFIX, FILTER_NAME, FILTER_EXT, FILTER_EXT_SELECTIVE_SYNC and
  // FILTER_NAME_SELECTIVE_SYNC, as above.
  static int InsertFilter(FileSection* section, int code, const ustring& text);
  // FILTER_NAME only, as above.
  static int InsertFilter(DirectorySection* section, int code, const ustring& text);
  // Removes the entry equal to `text` (case-sensitive) from black_prefix
  // (FILTER_PREFIX) or black_dir_prefix (FILTER_DIR_PREFIX). 0 (also when
  // absent), or -1 for another code.
  static int RemoveFilter(CommonSection* section, int code, const ustring& text);
  // FILTER_EXT_SELECTIVE_SYNC only: black_ext_selective_sync.
  static int RemoveFilter(FileSection* section, int code, const ustring& text);

  // True when some entry of `set` equals `value` ignoring ASCII case.
  static bool StringSetValueExist(const value_type_string_set& set, const ustring& value);

 private:
  std::recursive_mutex mutex;
  Filter filter;  // guarded by mutex
};

}  // namespace tidewell

#endif  // TIDEWELL_FILTER_BLACK_LIST_H_
