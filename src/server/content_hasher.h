// The two digests of stored content, computed in one pass: SHA-256 (the
// storage key of a blob) and MD4 (the protocol's content hash, which clients
// send and check). Both as lower-case hexadecimal text.
//
// Not thread-safe; one object per stream of bytes.

#ifndef TIDEWELL_SERVER_CONTENT_HASHER_H_
#define TIDEWELL_SERVER_CONTENT_HASHER_H_

#include <openssl/evp.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "delta/md4.h"

namespace tidewell::server {

class ContentHasher {
 public:
  ContentHasher();
  ~ContentHasher();
  ContentHasher(const ContentHasher&) = delete;
  ContentHasher& operator=(const ContentHasher&) = delete;

  void Update(const void* data, size_t length);
  // Ends the stream; the object must not be updated afterwards.
  void Finish(std::string& sha256_hex, std::string& md4_hex);
  uint64_t bytes() const { return bytes_; }

 private:
  EVP_MD_CTX* sha_;
  MD4 md4_;
  uint64_t bytes_ = 0;
};

// Digests the whole file at `path`, calling `tick` (may be empty) between
// pieces so that a caller can keep its peer informed. Returns 0, or -1 when
// the file cannot be read.
[[nodiscard]] int HashFile(const std::string& path, std::string& sha256_hex, std::string& md4_hex, uint64_t& size,
                           const std::function<void()>& tick);

// Lower-case hexadecimal text of `length` bytes.
std::string HexText(const uint8_t* data, size_t length);

}  // namespace tidewell::server

#endif  // TIDEWELL_SERVER_CONTENT_HASHER_H_
