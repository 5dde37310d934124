// Cutting UTF-8 text to a byte budget without splitting a character, for
// names that must fit a limit (a directory entry, a temporary's stem).
//
// Thread-safe: a pure function.

#ifndef TIDEWELL_BASE_UTF8_PREFIX_H_
#define TIDEWELL_BASE_UTF8_PREFIX_H_

#include <cstddef>
#include <string_view>

namespace tidewell {

// The longest prefix of `text` of at most `max_bytes` bytes that does not
// end inside a multi-byte sequence: `text` itself when it fits, otherwise
// cut before the sequence the budget would split. The result views `text`.
std::string_view Utf8Prefix(std::string_view text, size_t max_bytes);

}  // namespace tidewell

#endif  // TIDEWELL_BASE_UTF8_PREFIX_H_
