// The reversible encoding of stored and transmitted passwords: Blowfish
// CFB64 under a fixed key, then base64. It hides a password from casual
// reading; it is not protection against anyone holding the program. The
// format is described in docs/trash-and-passwords.md. Thread-safe.

#ifndef TIDEWELL_BASE_SYNC_PASS_H_
#define TIDEWELL_BASE_SYNC_PASS_H_

#include <string>

namespace tidewell {

// Encodes the bytes of `plain` into `encoded` (base64 of the same length as
// the plain text would give). 0, or -1 when the cipher is unavailable, with
// `encoded` empty: the plain text is never passed off as its encoding.
[[nodiscard]] int SyncPassEnc(const std::string& plain, std::string& encoded);

// Reverses SyncPassEnc; the result ends at the first zero byte. An empty
// input gives an empty result and 0. Malformed base64 or an unavailable
// cipher: `plain` empty and -1.
[[nodiscard]] int SyncPassDec(const std::string& encoded, std::string& plain);

}  // namespace tidewell

#endif  // TIDEWELL_BASE_SYNC_PASS_H_
