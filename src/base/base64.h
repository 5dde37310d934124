// Base64 with the standard alphabet ("A-Z a-z 0-9 + /") and "=" padding,
// without line breaks. Pure functions; thread-safe.

#ifndef TIDEWELL_BASE_BASE64_H_
#define TIDEWELL_BASE_BASE64_H_

#include <cstddef>
#include <string>

namespace tidewell {

// The alphabet character for the low 6 bits of `value`.
char CBase64Table(unsigned value);

// Encodes `length` bytes of `buffer`; with `stop_at_zero`, only the bytes
// before the first zero byte. A null buffer gives an empty text.
std::string SzBase64EncBuf(const void* buffer, size_t length, bool stop_at_zero);

// Encodes all `length` bytes.
std::string SzBase64EncBuffer(const void* buffer, size_t length);

// Encodes the bytes before the first zero byte (at most `length`).
std::string SzBase64EncOneLine(const void* buffer, size_t length);

// Decodes `inlen` characters of `in` into `out`, whose capacity is `*outlen`
// on entry; `*outlen` then holds the bytes written. Groups of four
// characters; "=" may only end the last group ("xx==" or "xxx="), and a last
// group of two or three characters without padding is accepted. True on
// success (an empty input gives 0 bytes); false for a character outside the
// alphabet, misplaced padding, a lone final character, or a full output
// buffer, with `*outlen` telling how much was produced.
[[nodiscard]] bool EncBase64Dec(const char* in, size_t inlen, unsigned char* out, size_t* outlen);

}  // namespace tidewell

#endif  // TIDEWELL_BASE_BASE64_H_
