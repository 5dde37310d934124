#include "filter/parser.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "filter/value_type.h"

namespace tidewell {
namespace {

bool IsBlank(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
}

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

bool IsNameChar(unsigned char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
}

int HexValue(unsigned char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsOctal(unsigned char c) { return c >= '0' && c <= '7'; }

// Parses one line at a time against a schema. Carries the state that spans
// lines: the current section and a string set waiting for its continuation.
class LineParser {
 public:
  LineParser(const ParserSchema* schema, void* result)
      : schema_(schema), result_(static_cast<char*>(result)) {}

  // Parses one line without its line break. Returns 0 or a ParserError.
  int Line(const char* p, size_t n) {
    p_ = reinterpret_cast<const unsigned char*>(p);
    n_ = n;
    pos_ = 0;
    SkipBlanks();
    if (AtLineEnd()) return NO_ERROR;
    if (pending_) {
      // Only the next string of the set may stand here.
      if (Peek() != '"') return LINE_NOT_EXPECTED;
      pending_ = false;
      return SetValues(pending_set_);
    }
    if (Peek() == '[') return Section();
    if (section_ == nullptr) return LINE_NOT_EXPECTED;
    return KeyLine();
  }

  bool unknown_keys() const { return unknown_keys_; }

 private:
  bool AtEnd() const { return pos_ >= n_; }
  unsigned char Peek() const { return p_[pos_]; }
  // True at the end of the line or at the start of a comment.
  bool AtLineEnd() const { return AtEnd() || Peek() == '#'; }
  void SkipBlanks() {
    while (!AtEnd() && IsBlank(Peek())) ++pos_;
  }
  // After a complete value or header only blanks and a comment may follow.
  int Trailer() {
    SkipBlanks();
    return AtLineEnd() ? NO_ERROR : LINE_NOT_ENDED;
  }

  int Section() {
    ++pos_;  // "["
    size_t start = pos_;
    while (!AtEnd() && IsNameChar(Peek())) {
      if (++pos_ - start > kParserMaxName) return SECTION_TOO_LONG;
    }
    size_t len = pos_ - start;
    if (AtEnd()) return SECTION_MISSING_RIGHT_BRACKET;
    if (Peek() != ']') return SECTION_ILLEGAL_CHARACTER;
    if (len == 0) return SECTION_MISSING_SECTION;
    const SectionSchema* found = nullptr;
    for (int i = 0; i < schema_->section_count; ++i) {
      const char* name = schema_->sections[i].name;
      if (std::strlen(name) == len && std::memcmp(name, p_ + start, len) == 0) {
        found = &schema_->sections[i];
        break;
      }
    }
    if (found == nullptr) return SECTION_UNDEFINED_SECTION;
    section_ = found;
    ++pos_;  // "]"
    return Trailer();
  }

  int KeyLine() {
    size_t start = pos_;
    while (!AtEnd() && IsNameChar(Peek())) {
      if (++pos_ - start > kParserMaxName) return KEY_TOO_LONG;
    }
    size_t len = pos_ - start;
    if (len == 0) return KEY_MISSING_KEY;
    SkipBlanks();
    if (AtEnd() || Peek() != '=') return KEY_ILLEGAL_CHARACTER;
    ++pos_;
    SkipBlanks();

    const KeySchema* key = nullptr;
    for (int i = 0; i < section_->key_count; ++i) {
      const char* name = section_->keys[i].name;
      if (std::strlen(name) == len && std::memcmp(name, p_ + start, len) == 0) {
        key = &section_->keys[i];
        break;
      }
    }
    if (key == nullptr) {
      std::printf("warning: unknown key (%.*s)\n", static_cast<int>(len),
                  reinterpret_cast<const char*>(p_ + start));
      unknown_keys_ = true;
      // A quoted value may be a set continued on later lines: read it through
      // so that its continuation lines are not taken for keys.
      if (!AtEnd() && Peek() == '"') return SetValues(nullptr);
      return NO_ERROR;
    }

    char* value = result_ + section_->offset + key->offset;
    switch (key->value_type) {
      case VALUE_TYPE_INT32:
      case VALUE_TYPE_UINT64:
        return Number(key->value_type, value);
      case VALUE_TYPE_STRING: {
        char text[kParserMaxString + 1];
        size_t text_len = 0;
        int rc = String(text, &text_len);
        if (rc != NO_ERROR) return rc;
        if (value_type_string_set_value(reinterpret_cast<value_type_string*>(value), text,
                                        text_len) != 0) {
          return INTERNAL_ERROR;
        }
        return Trailer();
      }
      case VALUE_TYPE_STRING_SET:
        return SetValues(reinterpret_cast<value_type_string_set*>(value));
      default:
        return INTERNAL_ERROR;
    }
  }

  // [+-] (0 | [1-9][0-9]*) [. [0-9]+], ended by a blank, "#" or the line end.
  int Number(int type, char* value) {
    size_t start = pos_;
    bool negative = false;
    if (!AtEnd() && (Peek() == '+' || Peek() == '-')) {
      negative = Peek() == '-';
      ++pos_;
    }
    bool has_sign = pos_ > start;
    if (AtLineEnd() || IsBlank(Peek())) {
      return has_sign ? VALUE_NUMERIC_MISSING_INTEGER_PART : VALUE_NUMERIC_MISSING_VALUE;
    }
    size_t int_start = pos_;
    if (Peek() == '0') {
      ++pos_;
    } else if (IsDigit(Peek())) {
      while (!AtEnd() && IsDigit(Peek())) ++pos_;
    } else if (Peek() == '.' || has_sign) {
      return VALUE_NUMERIC_MISSING_INTEGER_PART;
    } else {
      return VALUE_NUMERIC_ILLEGAL_SYNTAX;
    }
    size_t int_end = pos_;
    if (!AtEnd() && Peek() == '.') {
      ++pos_;
      if (AtEnd() || !IsDigit(Peek())) return VALUE_NUMERIC_MISSING_FRACTIONAL_PART;
      while (!AtEnd() && IsDigit(Peek())) ++pos_;
    }
    if (pos_ - start > kParserMaxNumber) return VALUE_TOO_LONG;
    if (!AtEnd() && !IsBlank(Peek()) && Peek() != '#') return VALUE_NUMERIC_ILLEGAL_SYNTAX;

    // A value that does not fit its key is refused rather than wrapped.
    uint64_t v = 0;
    for (size_t i = int_start; i < int_end; ++i) {
      uint64_t digit = p_[i] - '0';
      if (v > (UINT64_MAX - digit) / 10) return VALUE_TOO_LONG;
      v = v * 10 + digit;
    }
    if (type == VALUE_TYPE_INT32) {
      uint64_t limit = negative ? uint64_t{2147483648u} : uint64_t{2147483647u};
      if (v > limit) return VALUE_TOO_LONG;
      int64_t signed_v = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
      *reinterpret_cast<int32_t*>(value) = static_cast<int32_t>(signed_v);
    } else {
      if (negative && v != 0) return VALUE_TOO_LONG;
      *reinterpret_cast<uint64_t*>(value) = v;
    }
    return Trailer();
  }

  // A quoted string with C escapes, unescaped into `out` (room for
  // kParserMaxString bytes plus a terminator, which is not written).
  int String(char* out, size_t* out_len) {
    if (AtEnd() || Peek() != '"') return VALUE_STRING_MISSING_LEFT_QUOTE;
    ++pos_;
    size_t len = 0;
    for (;;) {
      if (AtEnd()) return VALUE_STRING_MISSING_RIGHT_QUOTE;
      unsigned char c = p_[pos_++];
      if (c == '"') break;
      if (c == '\\') {
        if (AtEnd()) return VALUE_STRING_MISSING_RIGHT_QUOTE;
        unsigned char e = p_[pos_++];
        switch (e) {
          case 'a': c = '\a'; break;
          case 'b': c = '\b'; break;
          case 'f': c = '\f'; break;
          case 'n': c = '\n'; break;
          case 'r': c = '\r'; break;
          case 't': c = '\t'; break;
          case 'v': c = '\v'; break;
          case '\'': case '"': case '\\': case '?': c = e; break;
          case 'x': {
            if (n_ - pos_ < 2) return VALUE_STRING_ILLEGAL_CHARACTER;
            int hi = HexValue(p_[pos_]);
            int lo = HexValue(p_[pos_ + 1]);
            if (hi < 0 || lo < 0) return VALUE_STRING_ILLEGAL_CHARACTER;
            c = static_cast<unsigned char>(hi * 16 + lo);
            pos_ += 2;
            break;
          }
          case '0': case '1': case '2': case '3': {
            if (n_ - pos_ < 2 || !IsOctal(p_[pos_]) || !IsOctal(p_[pos_ + 1])) {
              return VALUE_STRING_ILLEGAL_CHARACTER;
            }
            c = static_cast<unsigned char>((e - '0') * 64 + (p_[pos_] - '0') * 8 + (p_[pos_ + 1] - '0'));
            pos_ += 2;
            break;
          }
          default:
            return VALUE_STRING_ILLEGAL_CHARACTER;
        }
        // Values are NUL-terminated: an escaped NUL would cut them short.
        if (c == 0) return VALUE_STRING_ILLEGAL_CHARACTER;
      } else if (c < 0x20 || c == 0x7f) {
        return VALUE_STRING_ILLEGAL_CHARACTER;
      }
      if (len == kParserMaxString) return VALUE_TOO_LONG;
      out[len++] = static_cast<char>(c);
    }
    if (len == 0) return VALUE_STRING_EMPTY;
    *out_len = len;
    return NO_ERROR;
  }

  // String ("," String)*; a "," at the end of the line continues the set on
  // the next line. `set` null discards the strings (unknown keys).
  int SetValues(value_type_string_set* set) {
    for (;;) {
      char text[kParserMaxString + 1];
      size_t len = 0;
      int rc = String(text, &len);
      if (rc != NO_ERROR) return rc;
      if (set != nullptr && value_type_string_set_insert(set, text, len) != 0) {
        return INTERNAL_ERROR;
      }
      SkipBlanks();
      if (AtLineEnd()) return NO_ERROR;
      if (Peek() != ',') return VALUE_SET_MISSING_SEPARATER;
      ++pos_;
      SkipBlanks();
      if (AtLineEnd()) {
        pending_ = true;
        pending_set_ = set;
        return NO_ERROR;
      }
    }
  }

  // Set at construction.
  const ParserSchema* const schema_;
  char* const result_;
  // The line being parsed.
  const unsigned char* p_ = nullptr;
  size_t n_ = 0;
  size_t pos_ = 0;
  // State across lines.
  const SectionSchema* section_ = nullptr;
  bool pending_ = false;
  value_type_string_set* pending_set_ = nullptr;
  bool unknown_keys_ = false;
};

// Cuts a byte stream into lines and hands them to a LineParser. A line whose
// text (without the line break and one carriage return before it) exceeds
// kParserMaxLine bytes is an error rather than being cut into pieces.
class LineFeeder {
 public:
  explicit LineFeeder(LineParser* parser) : parser_(parser) {}

  // Returns 0 or the ParserError of the first bad line.
  int Feed(const char* data, size_t n) {
    while (n > 0) {
      const char* nl = static_cast<const char*>(std::memchr(data, '\n', n));
      size_t chunk = nl != nullptr ? static_cast<size_t>(nl - data) : n;
      Append(data, chunk);
      if (nl == nullptr) break;
      int rc = EndLine();
      if (rc != NO_ERROR) return rc;
      data += chunk + 1;
      n -= chunk + 1;
    }
    return NO_ERROR;
  }

  // Parses a last line without a line break.
  int Finish() {
    if (carry_.empty() && !overlong_) return NO_ERROR;
    return EndLine();
  }

  int line() const { return line_; }

 private:
  void Append(const char* p, size_t n) {
    if (overlong_) return;
    if (carry_.size() + n > kParserMaxLine + 1) {
      overlong_ = true;
      return;
    }
    carry_.append(p, n);
  }

  int EndLine() {
    ++line_;
    size_t len = carry_.size();
    if (len > 0 && carry_[len - 1] == '\r') --len;
    int rc = (overlong_ || len > kParserMaxLine) ? LINE_NOT_ENDED
                                                 : parser_->Line(carry_.data(), carry_.size());
    carry_.clear();
    overlong_ = false;
    return rc;
  }

  LineParser* const parser_;
  std::string carry_;
  bool overlong_ = false;
  int line_ = 0;
};

int Conclude(int rc, const LineFeeder& feeder, const LineParser& parser, ParseErrorInfo* error) {
  if (rc != NO_ERROR) {
    std::fprintf(stderr, "parser: %s at line %d\n", parser_error_name(rc), feeder.line());
    if (error != nullptr) *error = {rc, feeder.line()};
    return PARSE_FAILED;
  }
  if (error != nullptr) *error = {NO_ERROR, 0};
  return parser.unknown_keys() ? PARSE_UNKNOWN_KEYS : PARSE_OK;
}

}  // namespace

int parse(const char* file_name, const ParserSchema* schema, void* result, ParseErrorInfo* error) {
  if (error != nullptr) *error = {NO_ERROR, 0};
  std::FILE* f = std::fopen(file_name, "rb");
  if (f == nullptr) return PARSE_FAILED;
  LineParser parser(schema, result);
  LineFeeder feeder(&parser);
  char buf[8192];
  int rc = NO_ERROR;
  for (;;) {
    size_t got = std::fread(buf, 1, sizeof buf, f);
    if (got > 0) rc = feeder.Feed(buf, got);
    if (rc != NO_ERROR || got < sizeof buf) break;
  }
  bool read_error = std::ferror(f) != 0;
  std::fclose(f);
  if (rc == NO_ERROR && read_error) return PARSE_FAILED;
  if (rc == NO_ERROR) rc = feeder.Finish();
  return Conclude(rc, feeder, parser, error);
}

int parse_buffer(const char* data, size_t size, const ParserSchema* schema, void* result,
                 ParseErrorInfo* error) {
  LineParser parser(schema, result);
  LineFeeder feeder(&parser);
  int rc = feeder.Feed(data, size);
  if (rc == NO_ERROR) rc = feeder.Finish();
  return Conclude(rc, feeder, parser, error);
}

const char* parser_error_name(int code) {
  static const char* const kNames[] = {
      "NO_ERROR",
      "SECTION_MISSING_LEFT_BRACKET",
      "SECTION_MISSING_RIGHT_BRACKET",
      "SECTION_MISSING_SECTION",
      "SECTION_ILLEGAL_CHARACTER",
      "SECTION_TOO_LONG",
      "SECTION_UNDEFINED_SECTION",
      "KEY_MISSING_KEY",
      "KEY_ILLEGAL_CHARACTER",
      "KEY_TOO_LONG",
      "KEY_UNDEFINED_KEY",
      "VALUE_NUMERIC_MISSING_INTEGER_PART",
      "VALUE_NUMERIC_MISSING_FRACTIONAL_PART",
      "VALUE_NUMERIC_MISSING_VALUE",
      "VALUE_NUMERIC_ILLEGAL_SYNTAX",
      "VALUE_STRING_MISSING_LEFT_QUOTE",
      "VALUE_STRING_MISSING_RIGHT_QUOTE",
      "VALUE_STRING_ESCAPE_ILLEGAL_SEQUENCE",
      "VALUE_STRING_ESCAPE_ILLEGAL_HEX_VALUE",
      "VALUE_STRING_ESCAPE_ILLEGAL_OCT_VALUE",
      "VALUE_STRING_ILLEGAL_CHARACTER",
      "VALUE_STRING_EMPTY",
      "VALUE_SET_MISSING_SEPARATER",
      "VALUE_TOO_LONG",
      "LINE_NOT_ENDED",
      "LINE_NOT_EXPECTED",
      "INTERNAL_ERROR",
  };
  if (code > 0 || code < INTERNAL_ERROR) return "Unknown error";
  return kNames[-code];
}

}  // namespace tidewell
