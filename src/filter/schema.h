// Tables that describe a rule-file format to the reader (parser.h): which
// sections exist, where each section's record lies inside the result record,
// and which keys each section has, with their value types and positions.
//
// Schemas are constant data; sharing them between threads is safe.

#ifndef TIDEWELL_FILTER_SCHEMA_H_
#define TIDEWELL_FILTER_SCHEMA_H_

#include <cstddef>

namespace tidewell {

inline constexpr int kSchemaMaxKeys = 64;

// One key: its name (matched case-sensitively), its `ValueType` and the byte
// position of its value within the section record.
struct KeySchema {
  const char* name;
  int value_type;
  size_t offset;
};

// One section: its name, the byte position of its record within the result
// record, and its keys.
struct SectionSchema {
  const char* name;
  size_t offset;
  int key_count;
  KeySchema keys[kSchemaMaxKeys];
};

// A whole format: its sections in order.
struct ParserSchema {
  const SectionSchema* sections;
  int section_count;
};

// Frees every string and set value of `record` described by `schema` and
// zeroes its numbers, leaving every value empty. Also valid on a record that
// was zero-initialised and never filled.
void schema_clear(const ParserSchema* schema, void* record);

}  // namespace tidewell

#endif  // TIDEWELL_FILTER_SCHEMA_H_
