// The search family of ustring: needles and byte sets over the UTF-8 form.

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "base/ustring.h"

namespace tidewell {
namespace {

// Membership table of a byte set. NUL is never a member, so a set given as
// a C string and the same set given with an explicit length agree.
std::array<bool, 256> make_set(const char* set, ustring::size_type n) {
  std::array<bool, 256> member{};
  for (ustring::size_type i = 0; i < n; ++i) member[static_cast<unsigned char>(set[i])] = true;
  member[0] = false;
  return member;
}

}  // namespace

ustring::size_type ustring::find_bytes(const char* s, size_type n, size_type pos) const {
  if (pos >= data_len) return npos;
  if (n == 0) return pos;
  const size_t at = std::string_view(data, data_len).find(std::string_view(s, n), pos);
  return at == std::string_view::npos ? npos : static_cast<size_type>(at);
}

ustring::size_type ustring::rfind_bytes(const char* s, size_type n, size_type pos) const {
  if (data_len == 0) return npos;
  const size_type start = std::min(pos, data_len - 1);
  if (n == 0) return start;
  const size_t at = std::string_view(data, data_len).rfind(std::string_view(s, n), start);
  return at == std::string_view::npos ? npos : static_cast<size_type>(at);
}

ustring::size_type ustring::scan_forward(const char* set, size_type n, size_type pos,
                                         bool in_set) const {
  if (pos >= data_len) return npos;
  if (in_set && n == 1 && set[0] != '\0') {  // the common one-separator case
    const void* hit = std::memchr(data + pos, set[0], data_len - pos);
    return hit == nullptr ? npos : static_cast<size_type>(static_cast<const char*>(hit) - data);
  }
  const std::array<bool, 256> member = make_set(set, n);
  for (size_type i = pos; i < data_len; ++i) {
    if (member[static_cast<unsigned char>(data[i])] == in_set) return i;
  }
  return npos;
}

ustring::size_type ustring::scan_backward(const char* set, size_type n, size_type pos,
                                          bool in_set) const {
  if (data_len == 0) return npos;
  const size_type end = std::min(pos, data_len - 1) + 1;
  if (in_set && n == 1 && set[0] != '\0') {
    const void* hit = ::memrchr(data, set[0], end);
    return hit == nullptr ? npos : static_cast<size_type>(static_cast<const char*>(hit) - data);
  }
  const std::array<bool, 256> member = make_set(set, n);
  for (size_type i = end; i-- > 0;) {
    if (member[static_cast<unsigned char>(data[i])] == in_set) return i;
  }
  return npos;
}

}  // namespace tidewell
