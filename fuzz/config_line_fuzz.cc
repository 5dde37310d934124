// Feeds arbitrary bytes to the key/value line parser and checks what it
// reports against the line syntax.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/config.h"

namespace {

bool IsKeyByte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);  // NUL-terminated copy
  std::string key, value;
  const int r = tidewell::ParseConfigLine(line.c_str(), key, value);
  if (r < -1 || r > 1) std::abort();
  if (r == 1) {
    for (char c : key) {
      if (!IsKeyByte(c)) std::abort();
    }
    for (char c : value) {
      const auto u = static_cast<unsigned char>(c);
      if (u < 32 || u == 127) std::abort();
    }
    if (value.size() >= size) std::abort();
  }
  return 0;
}
