#include "base/config.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>

namespace tidewell {
namespace {

// Longest line accepted, its newline not counted. Longer lines used to be
// cut into pieces that were parsed as lines of their own, which could turn
// the tail of a long comment into a setting; they are refused instead.
constexpr size_t kMaxLineBytes = 8191;

bool is_space(char c) { return c == ' ' || (c >= 9 && c <= 13); }

bool is_key_byte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

// Bytes that end a value: control characters (NUL included) and DEL.
bool is_stop_byte(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 32 || u == 127;
}

const char* skip_space(const char* p) {
  while (is_space(*p)) ++p;
  return p;
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

}  // namespace

int ParseConfigLine(const char* line, std::string& key, std::string& value) {
  const char* p = skip_space(line);
  const char* key_begin = p;
  while (is_key_byte(*p)) ++p;
  key.assign(key_begin, p);
  if (*p == '#' || *p == '\0') return 0;

  p = skip_space(p);
  if (*p != '=') return -1;
  p = skip_space(p + 1);
  if (*p == '\0') return -1;

  if (*p == '"' || *p == '\'') {
    const char quote = *p++;
    const char* value_begin = p;
    while (!is_stop_byte(*p) && *p != quote) ++p;
    if (*p != quote) return -1;  // unterminated, or broken by a control byte
    value.assign(value_begin, p);
    ++p;
  } else {
    const char* value_begin = p;
    while (!is_stop_byte(*p) && *p != ' ') ++p;
    value.assign(value_begin, p);
  }

  p = skip_space(p);
  return (*p == '\0' || *p == '#') ? 1 : -1;
}

int ReadConfigFile(const ustring& path, std::map<ustring, ustring>& out) {
  out.clear();
  if (path.empty()) return -1;
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str_utf8(), "re"));
  if (!file) return -1;

  std::map<ustring, ustring> parsed;
  std::unique_ptr<char, FreeDeleter> buf;
  size_t cap = 0;
  std::string key, value;
  for (;;) {
    char* raw = buf.release();
    const ssize_t n = getline(&raw, &cap, file.get());
    buf.reset(raw);
    if (n < 0) break;
    size_t text = static_cast<size_t>(n);
    if (text > 0 && raw[text - 1] == '\n') --text;
    if (text > kMaxLineBytes) return -1;
    const int r = ParseConfigLine(raw, key, value);
    if (r < 0) return -1;
    if (r > 0) parsed[ustring(key)] = ustring(value);
  }
  if (std::ferror(file.get())) return -1;
  out.swap(parsed);
  return 0;
}

int ConfigValueToInt(const ustring& value) {
  std::istringstream in(value.c_str_utf8());
  int v = 0;
  in >> v;
  return v;
}

int Config::get_int(const ustring& key) { return ConfigValueToInt(store[key]); }

}  // namespace tidewell
