// Arbitrary bytes as a ustring: validity, the UTF-16 round trip and
// normalisation must agree with each other and never touch memory they do
// not own.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/ustring.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const tidewell::ustring s(bytes.c_str());  // up to the first NUL
  const bool valid = tidewell::ustring::is_valid(s);
  const char16_t* wide = s.c_str();
  if (valid != (s.empty() || wide[0] != 0)) std::abort();
  if (!valid) return 0;

  // UTF-8 -> UTF-16 -> UTF-8 gives back the same bytes.
  const tidewell::ustring back(wide);
  if (back != s) std::abort();

  // NFC of NFD is NFC; normal forms stay valid.
  const tidewell::ustring nfc = s.normalize(tidewell::ustring::NFC);
  const tidewell::ustring nfd = s.normalize(tidewell::ustring::NFD);
  if (!tidewell::ustring::is_valid(nfc) || !tidewell::ustring::is_valid(nfd)) std::abort();
  if (nfd.normalize(tidewell::ustring::NFC) != nfc) std::abort();

  // Searches agree with the bytes.
  if (!s.empty()) {
    const tidewell::ustring::size_type at = s.find(s.substr(s.length() / 2));
    if (at == tidewell::ustring::npos || at > s.length() / 2) std::abort();
  }
  return 0;
}
