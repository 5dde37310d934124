#include "base/blowfish_cfb64.h"

#include <openssl/evp.h>

#include <climits>
#include <memory>

#include "base/crypto_provider.h"

namespace tidewell {

int BlowfishCfb64(const unsigned char* key, size_t key_len, const unsigned char iv[8],
                  const unsigned char* in, size_t len, unsigned char* out, bool encrypt) {
  if (!LoadLegacyProviders() || key_len == 0 || key_len > 56 || len > INT_MAX) return -1;
  std::unique_ptr<EVP_CIPHER, void (*)(EVP_CIPHER*)> cipher(
      EVP_CIPHER_fetch(nullptr, "BF-CFB", nullptr), &EVP_CIPHER_free);
  std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> ctx(EVP_CIPHER_CTX_new(),
                                                                 &EVP_CIPHER_CTX_free);
  if (!cipher || !ctx) return -1;
  int enc = encrypt ? 1 : 0;
  int out_len = 0, final_len = 0;
  // The key length must be set before the key itself is given.
  if (EVP_CipherInit_ex2(ctx.get(), cipher.get(), nullptr, nullptr, enc, nullptr) != 1 ||
      EVP_CIPHER_CTX_set_key_length(ctx.get(), static_cast<int>(key_len)) != 1 ||
      EVP_CipherInit_ex2(ctx.get(), nullptr, key, iv, enc, nullptr) != 1 ||
      EVP_CipherUpdate(ctx.get(), out, &out_len, in, static_cast<int>(len)) != 1 ||
      EVP_CipherFinal_ex(ctx.get(), out + out_len, &final_len) != 1 ||
      static_cast<size_t>(out_len + final_len) != len) {
    return -1;
  }
  return 0;
}

}  // namespace tidewell
