#include "net/ssl_setup.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <mutex>

#include "base/error_code.h"

namespace tidewell {

namespace {

std::mutex g_path_mutex;
// Guarded by g_path_mutex.
std::string g_cert_path = "/usr/velt/etc/ssl/ssl.crt/server.crt";
std::string g_key_path = "/usr/velt/etc/ssl/ssl.key/server.key";

}  // namespace

int InitSslLibrary() {
  // OpenSSL 3 locks for itself; what is left is the one-time set-up, which
  // OPENSSL_init_ssl already makes safe under concurrent first calls.
  static const int result = [] {
    uint64_t opts = OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS;
    return OPENSSL_init_ssl(opts, nullptr) == 1 ? ERR_OK : ERR_SYS;
  }();
  return result;
}

void SetCERTPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_path_mutex);
  g_cert_path = path;
}

void SetPriKeyPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_path_mutex);
  g_key_path = path;
}

std::string GetCERTPath() {
  std::lock_guard<std::mutex> lock(g_path_mutex);
  return g_cert_path;
}

std::string GetPriKeyPath() {
  std::lock_guard<std::mutex> lock(g_path_mutex);
  return g_key_path;
}

}  // namespace tidewell
