// The black-list rule record and its plain-function interface: reading a
// "blacklist.filter" file, writing it back, and testing paths, sizes and
// attribute names against it.
//
// A `Filter` is plain data owned by whoever holds it; filter_init must run
// before any other function and filter_destroy releases its values. Nothing
// here locks; BlackList2 (black_list.h) wraps a record for shared use.

#ifndef TIDEWELL_FILTER_FILTER_H_
#define TIDEWELL_FILTER_FILTER_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include "filter/schema.h"
#include "filter/value_type.h"

namespace tidewell {

// Result codes of the matching functions; also the rule codes of BlackList2
// and the filter types of the filter database.
enum FilterResult : int {
  FILTER_OK = 0,
  FILTER_ERROR = -1,
  FILTER_CHAR = -2,
  FILTER_PREFIX = -3,
  FILTER_NAME = -4,
  FILTER_EXT = -5,
  FILTER_LENGTH = -6,
  FILTER_PATH = -7,  // defined for callers; never returned by the matchers
  FILTER_FILE_SIZE = -8,
  FILTER_PATH_SIZE = -9,
  FILTER_EA_NAME = -10,
  FILTER_DIR_PREFIX = -11,
  FILTER_EXT_SELECTIVE_SYNC = -12,
  FILTER_PATH_PREFIX_SELECTIVE_SYNC = -13,
  FILTER_NAME_SELECTIVE_SYNC = -14,
  FILTER_FILE_SIZE_SELECTIVE_SYNC = -15,
};

struct VersionSection {
  int32_t major;
  int32_t minor;
};

struct CommonSection {
  value_type_string black_char;
  value_type_string_set black_prefix;
  value_type_string_set black_dir_prefix;
  value_type_string_set black_name;
  value_type_string_set black_path_prefix_selective_sync;
  uint64_t max_length;
  uint64_t max_path;
};

struct FileSection {
  value_type_string black_char;
  value_type_string_set black_ext;
  value_type_string_set black_name;
  value_type_string_set black_prefix;
  value_type_string_set black_ext_selective_sync;
  value_type_string_set black_name_selective_sync;
  uint64_t max_size;
  uint64_t max_size_selective_sync;
};

struct DirectorySection {
  value_type_string black_char;
  value_type_string_set black_name;
  value_type_string_set black_prefix;
};

struct EASection {
  value_type_string_set black_ea_name;
};

// The black-list record: one record per section of the file.
struct Filter {
  VersionSection version;
  CommonSection common;
  FileSection file;
  DirectorySection directory;
  EASection ea;
};

// The schema of "blacklist.filter".
extern const ParserSchema kFilterSchema;

// Empties every value of an uninitialised record (frees nothing). Returns 0.
int filter_init(Filter* filter);

// Reads `file_name` into an initialised, empty record. Returns 0 when the
// file parsed cleanly, or held unknown keys and declares version 1.x with
// x > 0; otherwise the record is destroyed (left empty) and -1 is returned.
[[nodiscard]] int filter_read(Filter* filter, const char* file_name);

// Frees every value and zeroes the numbers; the record stays usable.
void filter_destroy(Filter* filter);

// Renders the record in file syntax into `out`. Returns 0, or -1 when a value
// cannot be written so that it reads back the same (a string longer than the
// reader accepts, or one whose quoted form overflows a line); `out` is then
// unspecified. Empty strings are skipped, since the reader rejects them.
[[nodiscard]] int filter_format(const Filter* filter, std::string* out);

// Writes the record in file syntax to `stream`. Returns 0, or -1 when
// filter_format fails (nothing is written) or the stream reports an error.
int filter_print(const Filter* filter, FILE* stream);

// Replaces `file_name` with the record in file syntax, durably (temporary
// file, flush, rename). Returns 0, or -1 when the record cannot be rendered
// or the file cannot be written; on failure the previous file is left as it
// was.
[[nodiscard]] int filter_write(const Filter* filter, const char* file_name);

// Tests a session-relative path ("/" separators) against the rules. Returns
// the code of the first rule that excludes it, FILTER_ERROR for a file path
// that does not start with "/" or has an overlong part, else 0.
int filter_test_path(const Filter* filter, int is_dir, const char* path);

// FILTER_FILE_SIZE, FILTER_FILE_SIZE_SELECTIVE_SYNC or 0 (0 limits are off).
int filter_test_file_size(const Filter* filter, uint64_t size);

// FILTER_PATH_SIZE when `max_path` is set and exceeded, else 0.
int filter_test_full_path_size(const Filter* filter, uint64_t size);

// FILTER_EA_NAME when `name` equals a `black_ea_name` entry, else 0.
int filter_test_ea(const Filter* filter, const char* name);

}  // namespace tidewell

#endif  // TIDEWELL_FILTER_FILTER_H_
