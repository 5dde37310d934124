// Helpers for the wire-layer tests: loopback connections between two
// channels and a self-signed certificate made on the spot.

#ifndef TIDEWELL_TESTS_NET_NET_TEST_UTIL_H_
#define TIDEWELL_TESTS_NET_NET_TEST_UTIL_H_

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>

#include "common/loopback.h"
#include "common/random.h"
#include "net/channel.h"

namespace tidewell::testing {

// Connects `client` to a fresh listener and opens `server` on the accepted
// socket, both configured as the daemon does.
inline void ConnectPair(Channel& client, Channel& server) {
  LoopbackListener listener;
  ASSERT_EQ(0, client.Open("127.0.0.1", listener.port()));
  int fd = listener.Accept();
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, server.Open(fd, true));
}

// Writes a fresh EC key and a self-signed certificate for 127.0.0.1 to
// `cert_path` and `key_path` (PEM).
inline void MakeSelfSignedCert(const std::string& cert_path, const std::string& key_path) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  ASSERT_NE(nullptr, key);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  ASSERT_NE(nullptr, cert);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  ASSERT_GT(X509_sign(cert.get(), key.get(), EVP_sha256()), 0);

  FILE* f = std::fopen(cert_path.c_str(), "w");
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(1, PEM_write_X509(f, cert.get()));
  std::fclose(f);
  f = std::fopen(key_path.c_str(), "w");
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(1, PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr));
  std::fclose(f);
}

}  // namespace tidewell::testing

#endif  // TIDEWELL_TESTS_NET_NET_TEST_UTIL_H_
