#include "common/test_cert.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>

namespace tidewell::testing {

namespace {

bool WritePem(const std::string& path, X509* cert, EVP_PKEY* key) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  int ok = cert != nullptr ? PEM_write_X509(f, cert) : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  return std::fclose(f) == 0 && ok == 1;
}

}  // namespace

void WriteSelfSignedCert(const std::string& cert_path, const std::string& key_path, const std::string& common_name) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  ASSERT_NE(nullptr, key);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  ASSERT_NE(nullptr, cert);
  X509_set_version(cert.get(), 2);
  static long serial = 1;
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(common_name.c_str()),
                             -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  // A CA-capable self-signed certificate, so it can anchor a verification.
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_basic_constraints, "critical,CA:TRUE");
  ASSERT_NE(nullptr, ext);
  X509_add_ext(cert.get(), ext, -1);
  X509_EXTENSION_free(ext);
  ASSERT_GT(X509_sign(cert.get(), key.get(), EVP_sha256()), 0);
  ASSERT_TRUE(WritePem(cert_path, cert.get(), nullptr)) << cert_path;
  ASSERT_TRUE(WritePem(key_path, nullptr, key.get())) << key_path;
}

}  // namespace tidewell::testing
