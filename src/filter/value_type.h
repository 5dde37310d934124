// The value types a rule file can hold, as plain records with explicit
// init/destroy functions so that the rule records stay plain data that the
// schema-driven reader can address by byte offset.
//
// Not thread-safe; the wrappers in black_list.h/white_list_cpp.h add locking.

#ifndef TIDEWELL_FILTER_VALUE_TYPE_H_
#define TIDEWELL_FILTER_VALUE_TYPE_H_

#include <cstddef>

namespace tidewell {

// `value_type` codes of a schema key.
enum ValueType : int {
  VALUE_TYPE_INT32 = 0,
  VALUE_TYPE_UINT64 = 1,
  VALUE_TYPE_STRING = 2,
  VALUE_TYPE_STRING_SET = 3,
};

// An owned NUL-terminated byte string; `str` is null while unset.
struct value_type_string {
  char* str;
};

// An owned array of owned strings in insertion order; duplicates are kept.
struct value_type_string_set {
  char** set;
  size_t used;
  size_t capacity;
};

// Leaves `s` unset. Does not free a previous value.
void value_type_string_init(value_type_string* s);
// Replaces the value by a copy of the `len` bytes at `text` (which may hold
// no NUL). Returns 0, or -1 when out of memory (the old value then stays).
[[nodiscard]] int value_type_string_set_value(value_type_string* s, const char* text, size_t len);
// Frees the value and leaves `s` unset.
void value_type_string_destroy(value_type_string* s);

// Creates an empty set with room for `capacity` entries (0 means 4).
// Returns 0, or -1 when out of memory (the set is then empty with no room).
[[nodiscard]] int value_type_string_set_init(value_type_string_set* s, size_t capacity);
// Appends a copy of the `len` bytes at `text`, doubling the room when full.
// Returns 0, or -1 when out of memory (the set is then unchanged).
[[nodiscard]] int value_type_string_set_insert(value_type_string_set* s, const char* text, size_t len);
// Removes the first entry equal to `text` (case-sensitive), moving the last
// entry into its slot. Returns 0 when removed, -1 when absent.
int value_type_string_set_remove(value_type_string_set* s, const char* text);
// Frees every entry and the array; the set is left empty with no room.
void value_type_string_set_destroy(value_type_string_set* s);

}  // namespace tidewell

#endif  // TIDEWELL_FILTER_VALUE_TYPE_H_
