// Storage, assignment, comparison and editing of ustring. The search family
// lives in ustring_search.cc, the ICU conversions in ustring_unicode.cc.

#include "base/ustring.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <istream>
#include <new>
#include <ostream>
#include <stdexcept>

namespace tidewell {
namespace {

// The shared empty texts of moved-from strings (capacity 0). Never written.
char g_empty8[1] = {0};
UChar g_empty16[1] = {0};

constexpr ustring::size_type kInitialCapacity = 4;
// Largest length whose terminated size still fits the 32-bit capacity.
constexpr size_t kMaxLength = 0xFFFFFFFEu;

// The capacity the sizing rule gives for n when the buffer holds `cap`:
// exactly n when growing or when n is under half of `cap`.
bool needs_realloc(uint32_t cap, uint32_t n) {
  return cap < n || static_cast<uint64_t>(n) * 2 < cap;
}

unsigned char fold(unsigned char c, bool caseless) {
  return (caseless && c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

int compare_bytes(const char* a, size_t la, const char* b, size_t lb, bool caseless) {
  const auto* ua = reinterpret_cast<const unsigned char*>(a);
  const auto* ub = reinterpret_cast<const unsigned char*>(b);
  const size_t n = std::min(la, lb);
  size_t i = 0;
  if (!caseless) {
    // Skip the common prefix a word at a time; paths share long prefixes.
    for (; i + 8 <= n; i += 8) {
      uint64_t wa, wb;
      std::memcpy(&wa, a + i, 8);
      std::memcpy(&wb, b + i, 8);
      if (wa != wb) break;
    }
  }
  for (; i < n; ++i) {
    const int ca = fold(ua[i], caseless);
    const int cb = fold(ub[i], caseless);
    if (ca != cb) return ca - cb;
  }
  if (la == lb) return 0;
  // A proper prefix: the longer side's next byte against the terminator.
  // An embedded NUL there still has to order the prefix first.
  if (la < lb) {
    const int cb = fold(ub[la], caseless);
    return cb != 0 ? -cb : -1;
  }
  const int ca = fold(ua[lb], caseless);
  return ca != 0 ? ca : 1;
}

bool points_into(const char* p, const char* begin, size_t size) {
  std::less<const char*> lt;
  return size > 0 && !lt(p, begin) && lt(p, begin + size);
}

}  // namespace

ustring::size_type ustring::sz(size_t n) {
  if (n > kMaxLength) throw std::length_error("ustring too long");
  return static_cast<size_type>(n);
}

ustring::size_type ustring::cstr_len(const char* s) { return s == nullptr ? 0 : sz(std::strlen(s)); }

ustring::ustring()
    : data(g_empty8), data_len(0), data_cap(0), wdata(g_empty16), wdata_len(0), wdata_cap(0) {
  realloc_data(kInitialCapacity);
}

ustring::ustring(const char* s) : ustring(s, s == nullptr ? 0 : std::strlen(s), InitTag{}) {}
ustring::ustring(const std::string& s) : ustring(s.data(), s.size(), InitTag{}) {}
ustring::ustring(const ustring& other) : ustring(other.data, other.data_len, InitTag{}) {}
ustring::ustring(char ch) : ustring(&ch, 1, InitTag{}) {}
ustring::ustring(const UChar* ws) : ustring() { assign(ws); }

// Allocates the UTF-8 buffer once, at the capacity that assigning the text
// to a fresh 4-byte buffer would give.
ustring::ustring(const char* p, size_t n, InitTag)
    : data(g_empty8), data_len(0), data_cap(0), wdata(g_empty16), wdata_len(0), wdata_cap(0) {
  const size_type len = sz(n);
  const size_type cap = needs_realloc(kInitialCapacity, len + 1) ? len + 1 : kInitialCapacity;
  realloc_data(cap);
  if (len > 0) std::memcpy(data, p, len);
  data[len] = '\0';
  data_len = len;
}

ustring::ustring(ustring&& other) noexcept
    : data(other.data),
      data_len(other.data_len),
      data_cap(other.data_cap),
      wdata(other.wdata),
      wdata_len(other.wdata_len),
      wdata_cap(other.wdata_cap) {
  other.data = g_empty8;
  other.data_len = other.data_cap = 0;
  other.wdata = g_empty16;
  other.wdata_len = other.wdata_cap = 0;
}

ustring::~ustring() {
  if (data_cap > 0) std::free(data);
  if (wdata_cap > 0) std::free(wdata);
}

ustring& ustring::operator=(const ustring& other) { return assign_bytes(other.data, other.data_len); }

ustring& ustring::operator=(ustring&& other) noexcept {
  if (this != &other) {
    ustring moved(std::move(other));
    swap(moved);
  }
  return *this;
}

void ustring::realloc_data(size_type n) {
  if (!needs_realloc(data_cap, n)) return;
  if (data_cap == 0) {
    auto* p = static_cast<char*>(std::malloc(n));
    if (p == nullptr) throw std::bad_alloc();
    p[0] = '\0';
    data = p;
  } else {
    auto* p = static_cast<char*>(std::realloc(data, n));
    if (p == nullptr) throw std::bad_alloc();
    data = p;
  }
  data_cap = n;
}

void ustring::realloc_wdata(size_type n) {
  if (!needs_realloc(wdata_cap, n)) return;
  if (wdata_cap == 0) {
    auto* p = static_cast<UChar*>(std::malloc(static_cast<size_t>(n) * sizeof(UChar)));
    if (p == nullptr) throw std::bad_alloc();
    p[0] = 0;
    wdata = p;
  } else {
    auto* p = static_cast<UChar*>(std::realloc(wdata, static_cast<size_t>(n) * sizeof(UChar)));
    if (p == nullptr) throw std::bad_alloc();
    wdata = p;
  }
  wdata_cap = n;
}

void ustring::invalidate_wdata() const {
  wdata_len = 0;
  if (wdata_cap > 0) wdata[0] = 0;
}

ustring& ustring::assign_bytes(const char* p, size_t n) {
  if (points_into(p, data, data_cap)) {
    const std::string copy(p, n);  // the source lives in the buffer we resize
    return assign_bytes(copy.data(), copy.size());
  }
  const size_type len = sz(n);
  realloc_data(len + 1);
  if (len > 0) std::memcpy(data, p, len);
  data[len] = '\0';
  data_len = len;
  invalidate_wdata();
  return *this;
}

ustring& ustring::append_bytes(const char* p, size_t n) {
  if (n == 0) return *this;
  if (points_into(p, data, data_cap)) {
    const std::string copy(p, n);
    return append_bytes(copy.data(), copy.size());
  }
  const size_type len = sz(static_cast<size_t>(data_len) + n);
  realloc_data(len + 1);
  std::memcpy(data + data_len, p, n);
  data[len] = '\0';
  data_len = len;
  invalidate_wdata();
  return *this;
}

ustring& ustring::assign(const char* s, size_type n) {
  return assign_bytes(s, s == nullptr ? 0 : strnlen(s, n));
}

ustring& ustring::append(const char* s, size_type n) {
  return append_bytes(s, s == nullptr ? 0 : strnlen(s, n));
}

ustring& ustring::assign(const std::string& s, size_type pos, size_type n) {
  if (pos > s.size()) throw std::out_of_range("assign");
  return assign_bytes(s.data() + pos, std::min<size_t>(n, s.size() - pos));
}

ustring& ustring::append(const std::string& s, size_type pos, size_type n) {
  if (pos > s.size()) throw std::out_of_range("append");
  return append_bytes(s.data() + pos, std::min<size_t>(n, s.size() - pos));
}

ustring& ustring::assign(const ustring& s, size_type pos, size_type n) {
  if (pos > s.data_len) throw std::out_of_range("assign");
  return assign_bytes(s.data + pos, std::min(n, s.data_len - pos));
}

ustring& ustring::append(const ustring& s, size_type pos, size_type n) {
  if (pos > s.data_len) throw std::out_of_range("append");
  return append_bytes(s.data + pos, std::min(n, s.data_len - pos));
}

ustring& ustring::assign(char ch, size_type n) {
  const std::string run(n, ch);
  return assign_bytes(run.data(), run.size());
}

ustring& ustring::append(char ch, size_type n) {
  const std::string run(n, ch);
  return append_bytes(run.data(), run.size());
}

ustring& ustring::assign(const UChar* ws, size_type n) {
  size_t len = 0;
  while (ws != nullptr && len < n && ws[len] != 0) ++len;
  return set_from_utf16(ws, len, false);
}

ustring& ustring::append(const UChar* ws, size_type n) {
  size_t len = 0;
  while (ws != nullptr && len < n && ws[len] != 0) ++len;
  return set_from_utf16(ws, len, true);
}

ustring& ustring::assign(UChar wc, size_type n) {
  const std::u16string run(n, static_cast<char16_t>(wc));
  return set_from_utf16(run.data(), run.size(), false);
}

ustring& ustring::append(UChar wc, size_type n) {
  const std::u16string run(n, static_cast<char16_t>(wc));
  return set_from_utf16(run.data(), run.size(), true);
}

void ustring::clear() {
  if (data_cap > 0) data[0] = '\0';
  data_len = 0;
  invalidate_wdata();
}

void ustring::swap(ustring& other) noexcept {
  std::swap(data, other.data);
  std::swap(data_len, other.data_len);
  std::swap(data_cap, other.data_cap);
  std::swap(wdata, other.wdata);
  std::swap(wdata_len, other.wdata_len);
  std::swap(wdata_cap, other.wdata_cap);
}

ustring ustring::substr(size_type pos, size_type n) const {
  if (pos > data_len) throw std::out_of_range("substr");
  ustring out;
  out.assign_bytes(data + pos, std::min(n, data_len - pos));
  return out;
}

int ustring::compare(const ustring& a, const ustring& b, bool caseless) {
  return compare_bytes(a.data, a.data_len, b.data, b.data_len, caseless);
}

int ustring::compare(const ustring& other, size_type n) const {
  return compare_bytes(data, std::min(n, data_len), other.data, std::min(n, other.data_len), false);
}

ustring& ustring::ltrim(const char* set) {
  if (set == nullptr || *set == '\0' || data_len == 0) return *this;
  bool member[256] = {};
  for (const char* p = set; *p != '\0'; ++p) member[static_cast<unsigned char>(*p)] = true;
  size_type k = 0;
  while (k < data_len && member[static_cast<unsigned char>(data[k])]) ++k;
  if (k == 0) return *this;
  std::memmove(data, data + k, data_len - k + 1);
  data_len -= k;
  invalidate_wdata();
  return *this;
}

ustring& ustring::rtrim(const char* set) {
  if (set == nullptr || *set == '\0' || data_len == 0) return *this;
  bool member[256] = {};
  for (const char* p = set; *p != '\0'; ++p) member[static_cast<unsigned char>(*p)] = true;
  size_type len = data_len;
  while (len > 0 && member[static_cast<unsigned char>(data[len - 1])]) --len;
  if (len == data_len) return *this;
  data[len] = '\0';
  data_len = len;
  invalidate_wdata();
  return *this;
}

ustring& ustring::replace(char from, char to) {
  // The cache is dropped as well: a stale UTF-16 form would hand the old
  // path to whoever asks for it next.
  bool changed = false;
  for (size_type i = 0; i < data_len; ++i) {
    if (data[i] == from) {
      data[i] = to;
      changed = true;
    }
  }
  if (changed) invalidate_wdata();
  return *this;
}

ustring operator+(const ustring& a, const ustring& b) { return ustring(a).append(b); }
ustring operator+(const ustring& a, const char* b) { return ustring(a).append(b); }
ustring operator+(const ustring& a, char b) { return ustring(a).append(b); }
ustring operator+(const ustring& a, const UChar* b) { return ustring(a).append(b); }
ustring operator+(const ustring& a, UChar b) { return ustring(a).append(b); }

std::ostream& operator<<(std::ostream& os, const ustring& s) { return os << s.c_str_utf8(); }

std::istream& operator>>(std::istream& is, ustring& s) {
  std::string word;
  if (is >> word) s.assign(word);
  return is;
}

}  // namespace tidewell
