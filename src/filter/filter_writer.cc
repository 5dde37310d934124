// Rendering a black-list record in rule-file syntax.

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "filter/filter.h"
#include "filter/parser.h"
#include "platform/durable_replace.h"

namespace tidewell {
namespace {

// Builds the file text. Every line stays within what the reader accepts, so
// that what is written reads back the same.
class RuleWriter {
 public:
  explicit RuleWriter(std::string* out) : out_(out) {}

  bool ok() const { return ok_; }

  void Section(const char* name) {
    out_->append("[").append(name).append("]\n");
  }

  void Int(const char* key, int32_t value) {
    char line[64];
    std::snprintf(line, sizeof line, "%s = %d\n", key, static_cast<int>(value));
    out_->append(line);
  }

  void Number(const char* key, uint64_t value) {
    char line[96];
    std::snprintf(line, sizeof line, "%s = %" PRIu64 "\n", key, value);
    out_->append(line);
  }

  // Written only when set; an empty string is skipped since the reader
  // refuses empty strings and would reject the whole file.
  void String(const char* key, const value_type_string& value) {
    if (value.str == nullptr || value.str[0] == '\0') return;
    std::string quoted;
    if (!Quote(value.str, &quoted)) return Fail();
    std::string line(key);
    line.append(" = ").append(quoted);
    if (line.size() > kParserMaxLine) return Fail();
    out_->append(line).append("\n");
  }

  // Entries separated by ", ", a line break after every fifth entry of a
  // line, and earlier when the next entry would overflow the line.
  void Set(const char* key, const value_type_string_set& set) {
    size_t count = 0;
    for (size_t i = 0; i < set.used; ++i) {
      if (set.set[i][0] != '\0') ++count;
    }
    if (count == 0) return;
    std::string text(key);
    text.append(" = ");
    size_t line_len = text.size();
    size_t on_line = 0;
    size_t written = 0;
    for (size_t i = 0; i < set.used; ++i) {
      if (set.set[i][0] == '\0') continue;
      std::string q;
      if (!Quote(set.set[i], &q)) return Fail();
      bool last = ++written == count;
      size_t need = q.size() + (last ? 0 : 2);
      if (on_line > 0 && line_len + need > kParserMaxLine) {
        text.append("\n");
        line_len = 0;
        on_line = 0;
      }
      if (line_len + need > kParserMaxLine) return Fail();
      text.append(q);
      line_len += q.size();
      ++on_line;
      if (!last) {
        text.append(", ");
        line_len += 2;
        if (on_line == 5) {
          text.append("\n");
          line_len = 0;
          on_line = 0;
        }
      }
    }
    out_->append(text).append("\n");
  }

  // Quotes `s` as the reader unescapes it. False when the reader would
  // refuse the string's length.
  static bool Quote(const char* s, std::string* out) {
    size_t len = std::strlen(s);
    if (len == 0 || len > kParserMaxString) return false;
    static const char kHex[] = "0123456789abcdef";
    out->clear();
    out->push_back('"');
    for (size_t i = 0; i < len; ++i) {
      unsigned char c = static_cast<unsigned char>(s[i]);
      switch (c) {
        case '\t': out->append("\\t"); continue;
        case '\n': out->append("\\n"); continue;
        case '\v': out->append("\\v"); continue;
        case '\f': out->append("\\f"); continue;
        case '"': out->append("\\\""); continue;
        case '\\': out->append("\\\\"); continue;
        default: break;
      }
      if (c < 0x20 || c == '$' || c == '@' || c == '`' || c >= 0x7f) {
        char esc[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
        out->append(esc, 4);
      } else {
        out->push_back(static_cast<char>(c));
      }
    }
    out->append("\"");
    return true;
  }

 private:
  void Fail() { ok_ = false; }

  std::string* const out_;
  bool ok_ = true;
};

}  // namespace

int filter_format(const Filter* filter, std::string* out) {
  out->clear();
  RuleWriter w(out);
  w.Section("Version");
  w.Int("major", filter->version.major);
  w.Int("minor", filter->version.minor);

  const CommonSection& c = filter->common;
  w.Section("Common");
  w.String("black_char", c.black_char);
  w.Set("black_prefix", c.black_prefix);
  w.Set("black_dir_prefix", c.black_dir_prefix);
  w.Set("black_name", c.black_name);
  w.Set("black_path_prefix_selective_sync", c.black_path_prefix_selective_sync);
  w.Number("max_length", c.max_length);
  w.Number("max_path", c.max_path);

  const FileSection& f = filter->file;
  w.Section("File");
  w.String("black_char", f.black_char);
  w.Set("black_ext", f.black_ext);
  w.Set("black_ext_selective_sync", f.black_ext_selective_sync);
  w.Set("black_name_selective_sync", f.black_name_selective_sync);
  w.Set("black_name", f.black_name);
  w.Set("black_prefix", f.black_prefix);
  w.Number("max_size", f.max_size);
  w.Number("max_size_selective_sync", f.max_size_selective_sync);

  const DirectorySection& d = filter->directory;
  w.Section("Directory");
  w.String("black_char", d.black_char);
  w.Set("black_name", d.black_name);
  w.Set("black_prefix", d.black_prefix);

  w.Section("EA");
  w.Set("black_ea_name", filter->ea.black_ea_name);
  out->append("\n");
  return w.ok() ? 0 : -1;
}

int filter_print(const Filter* filter, FILE* stream) {
  std::string text;
  if (filter_format(filter, &text) != 0) return -1;
  if (std::fwrite(text.data(), 1, text.size(), stream) != text.size()) return -1;
  return std::fflush(stream) == 0 ? 0 : -1;
}

int filter_write(const Filter* filter, const char* file_name) {
  std::string text;
  if (filter_format(filter, &text) != 0) return -1;
  // A crash while rewriting must not leave a truncated file: that would
  // read as broken, and an empty black list excludes nothing.
  return DurableReplaceContent(ustring(file_name), text) == 0 ? 0 : -1;
}

}  // namespace tidewell
