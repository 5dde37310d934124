#include "server/content_hasher.h"

#include <fcntl.h>
#include <unistd.h>

#include <vector>

namespace tidewell::server {

std::string HexText(const uint8_t* data, size_t length) {
  static const char kHex[] = "0123456789abcdef";
  std::string out(2 * length, '0');
  for (size_t i = 0; i < length; ++i) {
    out[2 * i] = kHex[data[i] >> 4];
    out[2 * i + 1] = kHex[data[i] & 0xF];
  }
  return out;
}

ContentHasher::ContentHasher() : sha_(EVP_MD_CTX_new()) {
  if (sha_ != nullptr) EVP_DigestInit_ex(sha_, EVP_sha256(), nullptr);
}

ContentHasher::~ContentHasher() { EVP_MD_CTX_free(sha_); }

void ContentHasher::Update(const void* data, size_t length) {
  if (sha_ != nullptr) EVP_DigestUpdate(sha_, data, length);
  md4_.Update(data, length);
  bytes_ += length;
}

void ContentHasher::Finish(std::string& sha256_hex, std::string& md4_hex) {
  uint8_t sha[EVP_MAX_MD_SIZE];
  unsigned int sha_len = 0;
  if (sha_ == nullptr || EVP_DigestFinal_ex(sha_, sha, &sha_len) != 1) sha_len = 0;
  sha256_hex = HexText(sha, sha_len);
  uint8_t md4[kMD4DigestSize];
  md4_.Final(md4);
  md4_hex = HexText(md4, sizeof(md4));
}

int HashFile(const std::string& path, std::string& sha256_hex, std::string& md4_hex, uint64_t& size,
             const std::function<void()>& tick) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ContentHasher hasher;
  std::vector<uint8_t> buf(1 << 20);
  int rc = 0;
  for (;;) {
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      rc = -1;
      break;
    }
    if (n == 0) break;
    hasher.Update(buf.data(), static_cast<size_t>(n));
    if (tick) tick();
  }
  ::close(fd);
  if (rc != 0) return rc;
  size = hasher.bytes();
  hasher.Finish(sha256_hex, md4_hex);
  return sha256_hex.size() == 64 ? 0 : -1;
}

}  // namespace tidewell::server
