#include "base/utf8_prefix.h"

namespace tidewell {

std::string_view Utf8Prefix(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  // text[n] is the first byte left out; back up while it continues a
  // sequence, so the cut falls before that sequence's lead byte.
  size_t n = max_bytes;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return text.substr(0, n);
}

}  // namespace tidewell
