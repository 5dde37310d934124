// Blowfish in 64-bit cipher feedback mode, through OpenSSL's legacy
// provider. A stream mode: the output has the length of the input.
// Thread-safe.

#ifndef TIDEWELL_BASE_BLOWFISH_CFB64_H_
#define TIDEWELL_BASE_BLOWFISH_CFB64_H_

#include <cstddef>

namespace tidewell {

// Encrypts (or, with `encrypt` false, decrypts) `len` bytes of `in` into
// `out` with a `key_len`-byte key (1 to 56 bytes) and the 8-byte `iv`,
// feedback position starting at 0. `out` may equal `in`. 0, or -1 when the
// cipher is unavailable or refuses the key.
[[nodiscard]] int BlowfishCfb64(const unsigned char* key, size_t key_len, const unsigned char iv[8],
                                const unsigned char* in, size_t len, unsigned char* out,
                                bool encrypt);

}  // namespace tidewell

#endif  // TIDEWELL_BASE_BLOWFISH_CFB64_H_
