// The white-list rule record ("whitelist.filter": the file extensions a
// session takes part with) and its plain-function interface. Same
// conventions as filter.h; WhiteListCpp (white_list_cpp.h) adds locking.

#ifndef TIDEWELL_FILTER_WHITE_LIST_H_
#define TIDEWELL_FILTER_WHITE_LIST_H_

#include "filter/filter.h"
#include "filter/schema.h"
#include "filter/value_type.h"

namespace tidewell {

struct WhiteListFileSection {
  value_type_string_set white_ext;
};

struct WhiteList {
  VersionSection version;
  WhiteListFileSection file;
};

// The schema of "whitelist.filter".
extern const ParserSchema kWhiteListSchema;

// Empties every value of an uninitialised record. Returns 0.
int white_list_init(WhiteList* list);

// Reads `file_name` into an initialised, empty record; 0 or -1 exactly as
// filter_read (the record is emptied on failure).
[[nodiscard]] int white_list_read(WhiteList* list, const char* file_name);

// Frees every value and zeroes the numbers.
void white_list_destroy(WhiteList* list);

// 0 when `name` (a last path component) is allowed: its extension is listed
// (ASCII case ignored) or the list holds "*". -1 otherwise, and for an empty
// or null name.
int white_list_test(const WhiteList* list, const char* name);

}  // namespace tidewell

#endif  // TIDEWELL_FILTER_WHITE_LIST_H_
