#include "filter/filter.h"

#include <cstddef>

#include "filter/parser.h"

namespace tidewell {
namespace {

#define TW_KEY(section, key, type) {#key, type, offsetof(section, key)}

const SectionSchema kFilterSections[] = {
    {"Version", offsetof(Filter, version), 2,
     {TW_KEY(VersionSection, major, VALUE_TYPE_INT32),
      TW_KEY(VersionSection, minor, VALUE_TYPE_INT32)}},
    {"Common", offsetof(Filter, common), 7,
     {TW_KEY(CommonSection, black_char, VALUE_TYPE_STRING),
      TW_KEY(CommonSection, black_prefix, VALUE_TYPE_STRING_SET),
      TW_KEY(CommonSection, black_dir_prefix, VALUE_TYPE_STRING_SET),
      TW_KEY(CommonSection, black_name, VALUE_TYPE_STRING_SET),
      TW_KEY(CommonSection, black_path_prefix_selective_sync, VALUE_TYPE_STRING_SET),
      TW_KEY(CommonSection, max_length, VALUE_TYPE_UINT64),
      TW_KEY(CommonSection, max_path, VALUE_TYPE_UINT64)}},
    {"File", offsetof(Filter, file), 8,
     {TW_KEY(FileSection, black_char, VALUE_TYPE_STRING),
      TW_KEY(FileSection, black_ext, VALUE_TYPE_STRING_SET),
      TW_KEY(FileSection, black_name, VALUE_TYPE_STRING_SET),
      TW_KEY(FileSection, black_prefix, VALUE_TYPE_STRING_SET),
      TW_KEY(FileSection, black_ext_selective_sync, VALUE_TYPE_STRING_SET),
      TW_KEY(FileSection, black_name_selective_sync, VALUE_TYPE_STRING_SET),
      TW_KEY(FileSection, max_size, VALUE_TYPE_UINT64),
      TW_KEY(FileSection, max_size_selective_sync, VALUE_TYPE_UINT64)}},
    {"Directory", offsetof(Filter, directory), 3,
     {TW_KEY(DirectorySection, black_char, VALUE_TYPE_STRING),
      TW_KEY(DirectorySection, black_name, VALUE_TYPE_STRING_SET),
      TW_KEY(DirectorySection, black_prefix, VALUE_TYPE_STRING_SET)}},
    {"EA", offsetof(Filter, ea), 1, {TW_KEY(EASection, black_ea_name, VALUE_TYPE_STRING_SET)}},
};

#undef TW_KEY

}  // namespace

const ParserSchema kFilterSchema = {kFilterSections,
                                    static_cast<int>(sizeof kFilterSections / sizeof kFilterSections[0])};

int filter_init(Filter* filter) {
  *filter = Filter{};
  return 0;
}

int filter_read(Filter* filter, const char* file_name) {
  int rc = parse(file_name, &kFilterSchema, filter);
  if (rc == PARSE_OK) return 0;
  // Unknown keys are tolerated only from files that declare a newer minor
  // version of the format they were written for.
  if (rc == PARSE_UNKNOWN_KEYS && filter->version.major == 1 && filter->version.minor > 0) return 0;
  filter_destroy(filter);
  return -1;
}

void filter_destroy(Filter* filter) { schema_clear(&kFilterSchema, filter); }

}  // namespace tidewell
