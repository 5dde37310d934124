// The relay's authentication token: a small record that carries the text
// "host:port" of the tunnel's target, encrypted with Triple-DES (three-key
// EDE, CBC, PKCS#7 padding) under a key derived from a random seed stored in
// the record. docs/relay-tunnel.md gives the byte layout. The client builds
// it, the relay service checks it; both use these functions, so the fixed
// constants of the key derivation and the IV live in one place.
//
// The token keeps casual clients off a relay; it is no secret-key
// authentication (the key follows from the record and this program).
//
// Thread-safe: the functions share no state.

#ifndef TIDEWELL_NET_TUNNEL_CRYPTO_H_
#define TIDEWELL_NET_TUNNEL_CRYPTO_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace tidewell {

// Size of the record around the cipher text: 24 header bytes, 2 trailing.
inline constexpr size_t kTokenOverhead = 26;
// Shortest record VELTCryptoDecrypt accepts (one byte of cipher text).
inline constexpr size_t kTokenMinRecord = 27;

// Room VELTCryptoEncrypt needs for `plain_len` bytes of plain text:
// plain_len + 34 (the record plus a whole block of padding).
size_t VELTCryptoEncryptLength(size_t plain_len);

// Builds a token record of `plain` into `out`. Returns the record's size
// (cipher length + 26); 0 when `out_size` is below
// VELTCryptoEncryptLength(plain_len), when an argument is null, or when the
// cipher or the random generator fails.
[[nodiscard]] size_t VELTCryptoEncrypt(uint8_t* out, size_t out_size, const uint8_t* plain,
                                       size_t plain_len);

// Recovers the plain text of a token record into `out`. Returns its length;
// 0 for a record shorter than 27 bytes, without the 0xFFFF marker, of a
// version above 1, whose length field reaches past the record or is no
// whole number of blocks, whose padding is wrong, or whose plain text does
// not fit in `out_size`.
[[nodiscard]] size_t VELTCryptoDecrypt(uint8_t* out, size_t out_size, const uint8_t* record,
                                       size_t record_len);

// Standard base64 without line breaks. Encode writes the text and a
// terminating NUL to `out` and returns the text's length, or -1 when the
// text and its NUL do not fit in `out_size`. Decode returns the number of
// bytes written to `out`, or -1 for text that is not base64 or does not fit.
[[nodiscard]] int VELTCryptoBase64Encode(char* out, size_t out_size, const uint8_t* in,
                                         size_t in_len);
[[nodiscard]] int VELTCryptoBase64Decode(uint8_t* out, size_t out_size, const char* in,
                                         size_t in_len);

// Convenience forms: the base64 text of a fresh token for `plain` ("" on
// failure), and the plain text of a base64 token (false when it is invalid).
std::string MakeTunnelToken(const std::string& plain);
[[nodiscard]] bool ReadTunnelToken(const std::string& token, std::string& plain);

}  // namespace tidewell

#endif  // TIDEWELL_NET_TUNNEL_CRYPTO_H_
