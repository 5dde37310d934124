// The ICU side of ustring: the UTF-16 cache, conversion from UTF-16,
// normalisation and validity.

#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <climits>
#include <stdexcept>
#include <cstdio>
#include <string>

#include "base/ustring.h"

namespace tidewell {
namespace {

// The warning texts carry a line number of no meaning to callers; these are
// fixed so that the lines stay stable.
constexpr int kLineFromUtf8 = 1;
constexpr int kLineToUtf8 = 2;
constexpr int kLineNormalize = 3;

void warn(const char* what, UErrorCode status, int line) {
  // One call, so that lines of different threads do not interleave.
  std::fprintf(stderr, "Warning: %s: error code %d at line %d\n", what, static_cast<int>(status), line);
}

// ICU's preflight (no destination) reports the overflow as a failure; only
// the size is wanted from it.
bool preflight_ok(UErrorCode& status) {
  if (status == U_BUFFER_OVERFLOW_ERROR || status == U_STRING_NOT_TERMINATED_WARNING) {
    status = U_ZERO_ERROR;
  }
  return U_SUCCESS(status);
}

}  // namespace

const UChar* ustring::c_str() const {
  if (wdata_len == 0 && data_len > 0) (void)convert_from_data();
  return wdata;
}

int ustring::convert_from_data() const {
  UErrorCode status = U_ZERO_ERROR;
  int32_t need = 0;
  u_strFromUTF8(nullptr, 0, &need, data, -1, &status);
  if (preflight_ok(status)) {
    const_cast<ustring*>(this)->realloc_wdata(static_cast<size_type>(need) + 1);
    int32_t got = 0;
    u_strFromUTF8(wdata, need + 1, &got, data, -1, &status);
    if (U_SUCCESS(status)) {
      wdata[got] = 0;
      wdata_len = static_cast<size_type>(got);
      return 0;
    }
  }
  warn("u_strFromUTF8", status, kLineFromUtf8);
  invalidate_wdata();
  return -1;
}

ustring& ustring::set_from_utf16(const UChar* ws, size_t n, bool append) {
  if (n > INT32_MAX) throw std::length_error("ustring too long");
  if (n == 0) return append ? *this : assign_bytes("", 0);
  UErrorCode status = U_ZERO_ERROR;
  int32_t need = 0;
  u_strToUTF8(nullptr, 0, &need, ws, static_cast<int32_t>(n), &status);
  std::string utf8;
  if (preflight_ok(status)) {
    utf8.resize(static_cast<size_t>(need));
    u_strToUTF8(utf8.data(), need, &need, ws, static_cast<int32_t>(n), &status);
    if (status == U_STRING_NOT_TERMINATED_WARNING) status = U_ZERO_ERROR;
  }
  if (U_FAILURE(status)) {
    warn("u_strToUTF8", status, kLineToUtf8);
    clear();
    return *this;
  }
  // Appending goes byte-wise onto the current text rather than through its
  // UTF-16 form, so a current text that is not valid UTF-8 is kept as it is.
  return append ? append_bytes(utf8.data(), utf8.size()) : assign_bytes(utf8.data(), utf8.size());
}

ustring ustring::normalize(const ustring& s, normalization_form form) {
  ustring out;
  if (s.empty()) return out;
  const UChar* src = s.c_str();
  const int32_t src_len = static_cast<int32_t>(s.wdata_len);
  if (src_len == 0) return out;  // not valid UTF-8; already warned
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* norm = form == NFD ? unorm2_getNFDInstance(&status) : unorm2_getNFCInstance(&status);
  int32_t need = 0;
  if (U_SUCCESS(status)) need = unorm2_normalize(norm, src, src_len, nullptr, 0, &status);
  std::u16string result;
  if (preflight_ok(status)) {
    result.resize(static_cast<size_t>(need));
    need = unorm2_normalize(norm, src, src_len, reinterpret_cast<UChar*>(result.data()), need, &status);
    if (status == U_STRING_NOT_TERMINATED_WARNING) status = U_ZERO_ERROR;
  }
  if (U_FAILURE(status)) {
    warn("unorm_normalize", status, kLineNormalize);
    return out;
  }
  out.set_from_utf16(reinterpret_cast<const UChar*>(result.data()), static_cast<size_t>(need), false);
  return out;
}

bool ustring::is_valid(const ustring& s) {
  if (s.data_len == 0) return true;
  // The whole length is checked, so bytes after an embedded NUL count too.
  UErrorCode status = U_ZERO_ERROR;
  int32_t need = 0;
  const int32_t len = s.data_len > INT32_MAX ? -1 : static_cast<int32_t>(s.data_len);
  u_strFromUTF8(nullptr, 0, &need, s.data, len, &status);
  return status != U_INVALID_CHAR_FOUND;
}

}  // namespace tidewell
