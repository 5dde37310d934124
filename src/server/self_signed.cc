// The certificate `init` makes so that SSL works out of the box.

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "server/admin.h"

namespace tidewell::server {

namespace {

// Writes PEM into a new file with `mode`. The key must never exist readable
// by others, not even for a moment, so the file is created with its mode.
bool WritePem(const std::string& path, int mode, X509* cert, EVP_PKEY* key) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  FILE* f = ::fdopen(fd, "w");
  if (f == nullptr) {
    ::close(fd);
    return false;
  }
  int ok = cert != nullptr ? PEM_write_X509(f, cert) : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  bool flushed = std::fflush(f) == 0 && ::fsync(fd) == 0;
  return std::fclose(f) == 0 && flushed && ok == 1;
}

}  // namespace

int WriteSelfSignedCertificate(const std::string& cert_path, const std::string& key_path,
                               const std::string& common_name, std::string& error) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  if (key == nullptr || cert == nullptr) {
    error = "cannot make a key";
    return -1;
  }
  X509_set_version(cert.get(), 2);
  uint8_t serial[8];
  RAND_bytes(serial, sizeof(serial));
  serial[0] &= 0x7F;
  std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(BN_bin2bn(serial, sizeof(serial), nullptr), BN_free);
  if (bn != nullptr) BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get()));
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(common_name.c_str()),
                             -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) {
    error = "cannot sign the certificate";
    return -1;
  }
  if (!WritePem(key_path, 0600, nullptr, key.get()) || !WritePem(cert_path, 0644, cert.get(), nullptr)) {
    error = "cannot write '" + cert_path + "' and '" + key_path + "'";
    return -1;
  }
  return 0;
}

}  // namespace tidewell::server
