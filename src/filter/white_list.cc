#include "filter/white_list.h"

#include <cstddef>
#include <cstring>
#include <string_view>

#include "filter/parser.h"

namespace tidewell {
namespace {

const SectionSchema kWhiteListSections[] = {
    {"Version", offsetof(WhiteList, version), 2,
     {{"major", VALUE_TYPE_INT32, offsetof(VersionSection, major)},
      {"minor", VALUE_TYPE_INT32, offsetof(VersionSection, minor)}}},
    {"File", offsetof(WhiteList, file), 1,
     {{"white_ext", VALUE_TYPE_STRING_SET, offsetof(WhiteListFileSection, white_ext)}}},
};

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

}  // namespace

const ParserSchema kWhiteListSchema = {
    kWhiteListSections, static_cast<int>(sizeof kWhiteListSections / sizeof kWhiteListSections[0])};

int white_list_init(WhiteList* list) {
  *list = WhiteList{};
  return 0;
}

int white_list_read(WhiteList* list, const char* file_name) {
  int rc = parse(file_name, &kWhiteListSchema, list);
  if (rc == PARSE_OK) return 0;
  if (rc == PARSE_UNKNOWN_KEYS && list->version.major == 1 && list->version.minor > 0) return 0;
  white_list_destroy(list);
  return -1;
}

void white_list_destroy(WhiteList* list) { schema_clear(&kWhiteListSchema, list); }

int white_list_test(const WhiteList* list, const char* name) {
  if (name == nullptr || name[0] == '\0') return -1;
  std::string_view n(name);
  // The extension follows the last "." at or after the second character.
  size_t dot = n.rfind('.');
  std::string_view ext = (dot == std::string_view::npos || dot == 0) ? std::string_view()
                                                                     : n.substr(dot + 1);
  const value_type_string_set& set = list->file.white_ext;
  for (size_t i = 0; i < set.used; ++i) {
    std::string_view entry(set.set[i]);
    if (entry == "*" || (!entry.empty() && EqualNoCase(entry, ext))) return 0;
  }
  return -1;
}

}  // namespace tidewell
