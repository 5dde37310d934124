// The generic reader of rule files. The syntax is INI-like: "[Section]"
// headers, "key = value" lines, "#" comments; values are numbers, quoted
// strings with C escapes, or comma-separated string sets that may continue on
// the next line after a trailing ",". A ParserSchema says which sections and
// keys exist and where their values go in the result record.
//
// Stateless apart from the result record; safe to call from several threads
// on different records.

#ifndef TIDEWELL_FILTER_PARSER_H_
#define TIDEWELL_FILTER_PARSER_H_

#include <cstddef>

#include "filter/schema.h"

namespace tidewell {

// Error codes of the reader; parser_error_name gives their names.
enum ParserError : int {
  NO_ERROR = 0,
  SECTION_MISSING_LEFT_BRACKET = -1,
  SECTION_MISSING_RIGHT_BRACKET = -2,
  SECTION_MISSING_SECTION = -3,
  SECTION_ILLEGAL_CHARACTER = -4,
  SECTION_TOO_LONG = -5,
  SECTION_UNDEFINED_SECTION = -6,
  KEY_MISSING_KEY = -7,
  KEY_ILLEGAL_CHARACTER = -8,
  KEY_TOO_LONG = -9,
  KEY_UNDEFINED_KEY = -10,
  VALUE_NUMERIC_MISSING_INTEGER_PART = -11,
  VALUE_NUMERIC_MISSING_FRACTIONAL_PART = -12,
  VALUE_NUMERIC_MISSING_VALUE = -13,
  VALUE_NUMERIC_ILLEGAL_SYNTAX = -14,
  VALUE_STRING_MISSING_LEFT_QUOTE = -15,
  VALUE_STRING_MISSING_RIGHT_QUOTE = -16,
  VALUE_STRING_ESCAPE_ILLEGAL_SEQUENCE = -17,
  VALUE_STRING_ESCAPE_ILLEGAL_HEX_VALUE = -18,
  VALUE_STRING_ESCAPE_ILLEGAL_OCT_VALUE = -19,
  VALUE_STRING_ILLEGAL_CHARACTER = -20,
  VALUE_STRING_EMPTY = -21,
  VALUE_SET_MISSING_SEPARATER = -22,
  VALUE_TOO_LONG = -23,
  LINE_NOT_ENDED = -24,
  LINE_NOT_EXPECTED = -25,
  INTERNAL_ERROR = -26,
};

// Results of parse / parse_buffer.
enum ParseResult : int {
  PARSE_OK = 0,
  PARSE_UNKNOWN_KEYS = 1,  // accepted, but some keys were not in the schema
  PARSE_FAILED = 2,        // unreadable file or a syntax error
};

// Limits of the syntax, in bytes.
inline constexpr size_t kParserMaxLine = 1023;  // a line without its line break
inline constexpr size_t kParserMaxName = 32;    // section and key names
inline constexpr size_t kParserMaxString = 512; // a string after unescaping
inline constexpr size_t kParserMaxNumber = 511; // the text of a number

// Where parsing stopped: the error code and its line (counted from 1); both 0
// when there was no error.
struct ParseErrorInfo {
  int code;
  int line;
};

// Reads `file_name` into `result`, whose values must be initialised. Returns
// a ParseResult. On the first syntax error it prints "parser: <name> at line
// <n>" to standard error and stops, leaving the values read so far in
// `result`; unknown keys print a warning to standard output. `error` may be
// null.
int parse(const char* file_name, const ParserSchema* schema, void* result,
          ParseErrorInfo* error = nullptr);

// The same over `size` bytes in memory.
int parse_buffer(const char* data, size_t size, const ParserSchema* schema, void* result,
                 ParseErrorInfo* error = nullptr);

// The name of a ParserError ("NO_ERROR", ...), or "Unknown error".
const char* parser_error_name(int code);

}  // namespace tidewell

#endif  // TIDEWELL_FILTER_PARSER_H_
