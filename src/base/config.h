// Reader of `key = value` files: the daemon's configuration file and the
// logger's level file share this syntax (docs/config-file.md).

#ifndef TIDEWELL_BASE_CONFIG_H_
#define TIDEWELL_BASE_CONFIG_H_

#include <map>
#include <string>

#include "base/ustring.h"

namespace tidewell {

// Parses one line of the key/value syntax. `line` is the line's text with
// its newline (if any); the text ends at its first NUL. Returns 1 and sets
// `key` and `value` for a key/value line, 0 for a line to ignore (blank,
// comment, or a key directly followed by "#" or the end of the text), and
// -1 for a malformed line (key and value are then unspecified).
[[nodiscard]] int ParseConfigLine(const char* line, std::string& key, std::string& value);

// Reads a whole key/value file into `out` (replacing its contents); the last
// occurrence of a key wins. Returns 0 on success, -1 when the path is empty,
// the file cannot be opened or read, a line is malformed, or a line is
// longer than 8191 bytes (its newline not counted). On failure `out` is
// left empty.
[[nodiscard]] int ReadConfigFile(const ustring& path, std::map<ustring, ustring>& out);

// A parsed key/value file, ordered by the byte order of the keys.
// Not thread-safe; each user reads its own.
class Config {
 public:
  // Status names; the operations themselves report 0 and -1.
  enum { OK = 0, EMPTY = 1, INVALID = 2 };

  // Parses the file at `path` into the store, replacing what it held. On
  // failure (see ReadConfigFile) the store is left empty and -1 returned.
  [[nodiscard]] int read(const ustring& path) { return ReadConfigFile(path, store); }

  // The value of `key`, inserted with an empty value when missing.
  ustring& operator[](const ustring& key) { return store[key]; }

  // The value of `key` (inserted empty when missing) read as a decimal
  // integer with stream extraction: leading white space, optional sign,
  // digits up to the first other character. 0 when the value does not start
  // with a number; values beyond the int range saturate to INT_MAX/INT_MIN.
  int get_int(const ustring& key);

  // Every key/value pair read, in key order.
  const std::map<ustring, ustring>& entries() const { return store; }

 private:
  std::map<ustring, ustring> store;
};

// The integer reading of Config::get_int for a value on its own.
int ConfigValueToInt(const ustring& value);

}  // namespace tidewell

#endif  // TIDEWELL_BASE_CONFIG_H_
