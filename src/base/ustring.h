// ustring: the one string type of Tidewell — every path, name, key, message
// text and configuration value.
//
// The UTF-8 bytes are the authoritative form. A UTF-16 copy (ICU `UChar`,
// i.e. char16_t) is computed on demand by c_str() and thrown away by every
// change of the UTF-8 form, so strings that never need it pay nothing.
// Lengths, positions, searches and comparisons are all in UTF-8 bytes and
// case-sensitive; ordered containers keyed by ustring order by raw bytes.
//
// Positions and lengths are unsigned 32-bit. NOTE: `ustring::npos` is
// 0xFFFFFFFF, not std::string::npos: compare find() results with
// ustring::npos and pass ustring::npos, never std::string::npos.
//
// Thread-safety: none. Even the const c_str() fills the UTF-16 cache, so one
// object must not be used from two threads at once; hand copies across
// threads, never references.
//
// Embedded NUL bytes: the byte-level operations work on the full length, but
// the UTF-16 form, stream output and the const char* overloads stop at the
// first NUL, as with any C string. Paths and texts of the system hold none.

#ifndef TIDEWELL_BASE_USTRING_H_
#define TIDEWELL_BASE_USTRING_H_

#include <unicode/umachine.h>

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>

namespace tidewell {

class ustring {
 public:
  using size_type = uint32_t;
  static constexpr size_type npos = 0xFFFFFFFFu;

  enum normalization_form { NFC = 0, NFD = 1 };

  // A default-constructed string holds an empty text in a 4-byte buffer.
  // The UTF-16 buffer is allocated when first needed, so strings that never
  // ask for that form never pay for it. Allocation failures throw
  // std::bad_alloc throughout; the object then keeps its previous contents.
  ustring();
  ustring(const char* s);              // UTF-8, up to the NUL; null is empty
  ustring(const std::string& s);       // UTF-8 bytes
  ustring(const ustring& other);       // copies the UTF-8 form only
  ustring(ustring&& other) noexcept;   // `other` is left empty
  ustring(char ch);
  ustring(const UChar* ws);            // UTF-16 up to the NUL
  ~ustring();

  ustring& operator=(const ustring& other);
  ustring& operator=(ustring&& other) noexcept;
  ustring& operator=(const char* s) { return assign(s); }
  ustring& operator=(const std::string& s) { return assign(s); }
  ustring& operator=(char ch) { return assign(ch); }
  ustring& operator=(const UChar* ws) { return assign(ws); }
  ustring& operator=(UChar wc) { return assign(wc); }

  ustring& operator+=(const ustring& s) { return append(s); }
  ustring& operator+=(const char* s) { return append(s); }
  ustring& operator+=(const std::string& s) { return append(s); }
  ustring& operator+=(char ch) { return append(ch); }
  ustring& operator+=(const UChar* ws) { return append(ws); }
  ustring& operator+=(UChar wc) { return append(wc); }

  // --- assign / append -------------------------------------------------
  // const char*: at most n bytes, stopping early at a NUL. `s` may point into
  // this string's own text (truncating or re-appending itself is safe).
  ustring& assign(const char* s, size_type n = npos);
  ustring& append(const char* s, size_type n = npos);
  // std::string / ustring: the bytes of s.substr(pos, n). A `pos` beyond the
  // end throws std::out_of_range. Self-assignment and self-append are safe.
  ustring& assign(const std::string& s, size_type pos = 0, size_type n = npos);
  ustring& append(const std::string& s, size_type pos = 0, size_type n = npos);
  ustring& assign(const ustring& s, size_type pos = 0, size_type n = npos);
  ustring& append(const ustring& s, size_type pos = 0, size_type n = npos);
  // n copies of one byte.
  ustring& assign(char ch, size_type n = 1);
  ustring& append(char ch, size_type n = 1);
  // UTF-16: at most n units, stopping at a NUL. Text that is not valid
  // UTF-16 (an unpaired surrogate) writes a warning line to standard error
  // and leaves the string empty. `ws` may point into this string's cache.
  ustring& assign(const UChar* ws, size_type n = npos);
  ustring& append(const UChar* ws, size_type n = npos);
  // n copies of one UTF-16 unit.
  ustring& assign(UChar wc, size_type n = 1);
  ustring& append(UChar wc, size_type n = 1);

  // --- access ----------------------------------------------------------
  // The UTF-16 form, NUL-terminated; computed from the UTF-8 form when not
  // cached. Invalid UTF-8 gives an empty text and one warning line on
  // standard error per call. Valid until the next change of the string.
  const UChar* c_str() const;
  const UChar* c_str_utf16() const { return c_str(); }
  // The UTF-8 form, NUL-terminated, never null.
  const char* c_str_utf8() const { return data; }
  std::string_view utf8_view() const { return std::string_view(data, data_len); }

  size_type length() const { return data_len; }
  size_type size() const { return data_len; }
  bool empty() const { return data_len == 0; }
  // Allocated bytes of the UTF-8 buffer / units of the UTF-16 buffer,
  // terminators included (for tests and diagnostics).
  size_type capacity() const { return data_cap; }
  size_type capacity_utf16() const { return wdata_cap; }

  // The byte at `pos` of the UTF-8 form; no bounds check (pos < length()).
  // The non-const form drops the UTF-16 cache, since the caller may write.
  char& operator[](size_type pos) {
    invalidate_wdata();
    return data[pos];
  }
  const char& operator[](size_type pos) const { return data[pos]; }

  // Empties both forms; capacities are kept.
  void clear();
  void swap(ustring& other) noexcept;

  // Bytes [pos, pos + min(n, length() - pos)). pos > length() throws
  // std::out_of_range("substr"); pos == length() gives an empty string.
  ustring substr(size_type pos, size_type n = npos) const;

  // --- comparison ------------------------------------------------------
  // Byte-wise comparison of the UTF-8 forms; returns the difference of the
  // first differing bytes (as unsigned bytes), 0 when equal. A proper prefix
  // compares below the longer string. `caseless` folds only ASCII A-Z to a-z.
  static int compare(const ustring& a, const ustring& b, bool caseless);
  int compare(const ustring& other) const { return compare(*this, other, false); }
  // Like strncmp over the first n bytes; 0 for n = 0.
  int compare(const ustring& other, size_type n) const;

  // --- search (UTF-8 bytes) --------------------------------------------
  // find: first position >= pos where `s` begins; pos >= length() gives
  // npos; an empty needle gives pos.
  size_type find(const std::string& s, size_type pos = 0) const { return find_bytes(s.data(), sz(s.size()), pos); }
  size_type find(const ustring& s, size_type pos = 0) const { return find_bytes(s.data, s.data_len, pos); }
  size_type find(const char* s, size_type pos = 0) const { return find_bytes(s, cstr_len(s), pos); }
  size_type find(char ch, size_type pos = 0) const { return find_bytes(&ch, 1, pos); }
  // rfind: last position <= start where `s` begins (the match may run past
  // the start); start is pos, or length() - 1 when pos >= length(). An empty
  // needle gives the start.
  size_type rfind(const std::string& s, size_type pos = npos) const { return rfind_bytes(s.data(), sz(s.size()), pos); }
  size_type rfind(const ustring& s, size_type pos = npos) const { return rfind_bytes(s.data, s.data_len, pos); }
  size_type rfind(const char* s, size_type pos = npos) const { return rfind_bytes(s, cstr_len(s), pos); }
  size_type rfind(char ch, size_type pos = npos) const { return rfind_bytes(&ch, 1, pos); }
  // Set searches. The set is the bytes of the argument; a NUL byte is never a
  // member. Start positions as for find (first_*) and rfind (last_*).
  // An empty set: npos for *_of, the start position for *_not_of.
  size_type find_first_of(const std::string& set, size_type pos = 0) const { return scan_forward(set.data(), sz(set.size()), pos, true); }
  size_type find_first_of(const ustring& set, size_type pos = 0) const { return scan_forward(set.data, set.data_len, pos, true); }
  size_type find_first_of(const char* set, size_type pos = 0) const { return scan_forward(set, cstr_len(set), pos, true); }
  size_type find_first_of(char ch, size_type pos = 0) const { return scan_forward(&ch, 1, pos, true); }
  size_type find_first_not_of(const std::string& set, size_type pos = 0) const { return scan_forward(set.data(), sz(set.size()), pos, false); }
  size_type find_first_not_of(const ustring& set, size_type pos = 0) const { return scan_forward(set.data, set.data_len, pos, false); }
  size_type find_first_not_of(const char* set, size_type pos = 0) const { return scan_forward(set, cstr_len(set), pos, false); }
  size_type find_first_not_of(char ch, size_type pos = 0) const { return scan_forward(&ch, 1, pos, false); }
  size_type find_last_of(const std::string& set, size_type pos = npos) const { return scan_backward(set.data(), sz(set.size()), pos, true); }
  size_type find_last_of(const ustring& set, size_type pos = npos) const { return scan_backward(set.data, set.data_len, pos, true); }
  size_type find_last_of(const char* set, size_type pos = npos) const { return scan_backward(set, cstr_len(set), pos, true); }
  size_type find_last_of(char ch, size_type pos = npos) const { return scan_backward(&ch, 1, pos, true); }
  size_type find_last_not_of(const std::string& set, size_type pos = npos) const { return scan_backward(set.data(), sz(set.size()), pos, false); }
  size_type find_last_not_of(const ustring& set, size_type pos = npos) const { return scan_backward(set.data, set.data_len, pos, false); }
  size_type find_last_not_of(const char* set, size_type pos = npos) const { return scan_backward(set, cstr_len(set), pos, false); }
  size_type find_last_not_of(char ch, size_type pos = npos) const { return scan_backward(&ch, 1, pos, false); }

  // --- editing ---------------------------------------------------------
  // Remove the longest run of bytes belonging to `set` from the start
  // (ltrim), the end (rtrim) or both (trim). An empty set removes nothing.
  ustring& ltrim(const char* set);
  ustring& ltrim(const ustring& set) { return ltrim(set.data); }
  ustring& rtrim(const char* set);
  ustring& rtrim(const ustring& set) { return rtrim(set.data); }
  ustring& trim(const char* set) { return ltrim(set).rtrim(set); }
  ustring& trim(const ustring& set) { return trim(set.data); }
  // Replaces every byte `from` by `to` in place (e.g. "\\" -> "/").
  ustring& replace(char from, char to);

  // --- Unicode ---------------------------------------------------------
  // The text in normalisation form C or D. Invalid text writes a warning
  // line to standard error and gives an empty string.
  ustring normalize(normalization_form form) const { return normalize(*this, form); }
  static ustring normalize(const ustring& s, normalization_form form);
  // True for the empty string and for well-formed UTF-8; false when the
  // bytes hold an invalid sequence (checked over the whole length).
  static bool is_valid(const ustring& s);

 private:
  struct InitTag {};
  ustring(const char* p, size_t n, InitTag);

  static size_type sz(size_t n);  // checked narrowing; throws std::length_error
  static size_type cstr_len(const char* s);

  void realloc_data(size_type n);   // n bytes, terminator included
  void realloc_wdata(size_type n);  // n units, terminator included
  void invalidate_wdata() const;
  ustring& assign_bytes(const char* p, size_t n);
  ustring& append_bytes(const char* p, size_t n);
  // Replaces the text by the UTF-8 form of `n` UTF-16 units (append when
  // `append` is set). Invalid UTF-16 warns and empties the string.
  ustring& set_from_utf16(const UChar* ws, size_t n, bool append);
  int convert_from_data() const;  // fills the UTF-16 cache; 0 or -1

  size_type find_bytes(const char* s, size_type n, size_type pos) const;
  size_type rfind_bytes(const char* s, size_type n, size_type pos) const;
  size_type scan_forward(const char* set, size_type n, size_type pos, bool in_set) const;
  size_type scan_backward(const char* set, size_type n, size_type pos, bool in_set) const;

  // The UTF-8 text, NUL-terminated, never null. A capacity of 0 marks the
  // shared static empty text of a moved-from string, never written to.
  char* data;
  size_type data_len;
  size_type data_cap;
  // The UTF-16 cache, NUL-terminated, never null; wdata_len 0 means "not
  // computed" (or empty). Mutable: filled by the const c_str().
  mutable UChar* wdata;
  mutable size_type wdata_len;
  mutable size_type wdata_cap;
};

inline void swap(ustring& a, ustring& b) noexcept { a.swap(b); }

ustring operator+(const ustring& a, const ustring& b);
ustring operator+(const ustring& a, const char* b);
ustring operator+(const ustring& a, char b);
ustring operator+(const ustring& a, const UChar* b);
ustring operator+(const ustring& a, UChar b);

inline bool operator==(const ustring& a, const ustring& b) { return ustring::compare(a, b, false) == 0; }
inline bool operator!=(const ustring& a, const ustring& b) { return ustring::compare(a, b, false) != 0; }
inline bool operator<(const ustring& a, const ustring& b) { return ustring::compare(a, b, false) < 0; }
inline bool operator>(const ustring& a, const ustring& b) { return ustring::compare(a, b, false) > 0; }
inline bool operator<=(const ustring& a, const ustring& b) { return ustring::compare(a, b, false) <= 0; }
inline bool operator>=(const ustring& a, const ustring& b) { return ustring::compare(a, b, false) >= 0; }

// Writes the UTF-8 bytes up to the first NUL.
std::ostream& operator<<(std::ostream& os, const ustring& s);
// Reads one whitespace-delimited word and assigns it as UTF-8.
std::istream& operator>>(std::istream& is, ustring& s);

// Conversions between ustring and byte strings. The "code page" is the
// character set of the process locale (nl_langinfo(CODESET), after
// setlocale); the UTF8 forms use UTF-8. Each returns 0 on success and -1 on
// failure, leaving `out` unchanged on failure. Empty input gives an empty
// result. The converted text, terminator included, must fit in 8192 UTF-16
// units (to ustring) or 8192 bytes (from ustring): longer input fails, as
// does input whose conversion yields nothing. Bytes the converter cannot
// map are substituted (U+FFFD, or the target set's substitution byte).
// An invalid `in` ustring converts to nothing and fails.
[[nodiscard]] int CodePageToNativeStr(const std::string& in, ustring& out);
[[nodiscard]] int UTF8ToNativeStr(const std::string& in, ustring& out);
[[nodiscard]] int NativeStrToCodePage(const ustring& in, std::string& out);
[[nodiscard]] int NativeStrToUTF8(const ustring& in, std::string& out);

}  // namespace tidewell

template <>
struct std::hash<tidewell::ustring> {
  size_t operator()(const tidewell::ustring& s) const noexcept {
    return std::hash<std::string_view>()(s.utf8_view());
  }
};

#endif  // TIDEWELL_BASE_USTRING_H_
