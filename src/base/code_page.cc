// Conversions between ustring and byte strings in the locale's character
// set or in UTF-8, through ICU converters.

#include <langinfo.h>
#include <unicode/ucnv.h>

#include <memory>
#include <string>

#include "base/ustring.h"

namespace tidewell {
namespace {

// Both directions work in fixed buffers of this many units (bytes or UTF-16
// units), terminator included; longer texts are refused, not cut.
constexpr int32_t kBufferUnits = 8192;

struct ConverterCloser {
  void operator()(UConverter* c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

Converter open_converter(const char* charset) {
  UErrorCode status = U_ZERO_ERROR;
  Converter conv(ucnv_open(charset, &status));
  if (U_FAILURE(status)) conv.reset();
  return conv;
}

// The process locale's character set (the C locale gives ASCII).
const char* locale_charset() {
  const char* cs = nl_langinfo(CODESET);
  return (cs != nullptr && *cs != '\0') ? cs : "US-ASCII";
}

int to_ustring(const char* charset, const std::string& in, ustring& out) {
  if (in.empty()) {
    out.clear();
    return 0;
  }
  Converter conv = open_converter(charset);
  if (!conv) return -1;
  std::u16string buf(kBufferUnits, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  // Source up to its first NUL, as for any C string.
  const int32_t n = ucnv_toUChars(conv.get(), buf.data(), kBufferUnits, in.c_str(), -1, &status);
  // A result that fills the buffer leaves no room for the terminator.
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING || n <= 0) return -1;
  out.assign(buf.data(), static_cast<ustring::size_type>(n));
  return 0;
}

int from_ustring(const char* charset, const ustring& in, std::string& out) {
  if (in.empty()) {
    out.clear();
    return 0;
  }
  const UChar* wide = in.c_str();
  if (wide[0] == 0) return -1;  // not valid UTF-8: nothing to convert
  Converter conv = open_converter(charset);
  if (!conv) return -1;
  std::string buf(kBufferUnits, '\0');
  UErrorCode status = U_ZERO_ERROR;
  const int32_t n = ucnv_fromUChars(conv.get(), buf.data(), kBufferUnits, wide, -1, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING || n <= 0) return -1;
  out.assign(buf.data(), static_cast<size_t>(n));
  return 0;
}

}  // namespace

int CodePageToNativeStr(const std::string& in, ustring& out) { return to_ustring(locale_charset(), in, out); }

int UTF8ToNativeStr(const std::string& in, ustring& out) { return to_ustring("UTF-8", in, out); }

int NativeStrToCodePage(const ustring& in, std::string& out) { return from_ustring(locale_charset(), in, out); }

int NativeStrToUTF8(const ustring& in, std::string& out) { return from_ustring("UTF-8", in, out); }

}  // namespace tidewell
