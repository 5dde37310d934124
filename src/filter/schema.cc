#include "filter/schema.h"

#include <cstdint>

#include "filter/value_type.h"

namespace tidewell {

void schema_clear(const ParserSchema* schema, void* record) {
  char* base = static_cast<char*>(record);
  for (int s = 0; s < schema->section_count; ++s) {
    const SectionSchema& section = schema->sections[s];
    for (int k = 0; k < section.key_count; ++k) {
      char* value = base + section.offset + section.keys[k].offset;
      switch (section.keys[k].value_type) {
        case VALUE_TYPE_INT32:
          *reinterpret_cast<int32_t*>(value) = 0;
          break;
        case VALUE_TYPE_UINT64:
          *reinterpret_cast<uint64_t*>(value) = 0;
          break;
        case VALUE_TYPE_STRING:
          value_type_string_destroy(reinterpret_cast<value_type_string*>(value));
          break;
        case VALUE_TYPE_STRING_SET:
          value_type_string_set_destroy(reinterpret_cast<value_type_string_set*>(value));
          break;
      }
    }
  }
}

}  // namespace tidewell
