#include "base/sync_pass.h"

#include <cstring>
#include <vector>

#include "base/base64.h"
#include "base/blowfish_cfb64.h"

namespace tidewell {

namespace {

constexpr unsigned char kKey[4] = {0x6B, 0x1F, 0xC4, 0x3A};
constexpr unsigned char kZeroIv[8] = {0, 0, 0, 0, 0, 0, 0, 0};

}  // namespace

int SyncPassEnc(const std::string& plain, std::string& encoded) {
  encoded.clear();
  std::vector<unsigned char> work(plain.size() + 1, 0);
  if (BlowfishCfb64(kKey, sizeof kKey, kZeroIv,
                    reinterpret_cast<const unsigned char*>(plain.data()), plain.size(), work.data(),
                    true) != 0) {
    return -1;
  }
  encoded = SzBase64EncBuffer(work.data(), plain.size());
  return 0;
}

int SyncPassDec(const std::string& encoded, std::string& plain) {
  plain.clear();
  if (encoded.empty()) return 0;
  std::vector<unsigned char> decoded(encoded.size() + 1, 0);
  std::vector<unsigned char> clear(encoded.size() + 1, 0);
  size_t len = decoded.size();
  if (!EncBase64Dec(encoded.data(), encoded.size(), decoded.data(), &len)) return -1;
  if (BlowfishCfb64(kKey, sizeof kKey, kZeroIv, decoded.data(), len, clear.data(), false) != 0) {
    return -1;
  }
  plain.assign(reinterpret_cast<const char*>(clear.data()),
               strnlen(reinterpret_cast<const char*>(clear.data()), len));
  return 0;
}

}  // namespace tidewell
