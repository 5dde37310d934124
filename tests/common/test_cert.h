// Certificates for tests that run SSL on loopback: a fresh key and a
// self-signed certificate, made with the OpenSSL API and written as PEM.

#ifndef TIDEWELL_TESTS_COMMON_TEST_CERT_H_
#define TIDEWELL_TESTS_COMMON_TEST_CERT_H_

#include <string>

namespace tidewell::testing {

// Writes an EC P-256 key and a certificate for `common_name`, valid from an
// hour ago for a day, signed by itself, to `cert_path` and `key_path`. The
// certificate can serve as its own trust anchor (a CA file). Fails the
// current test on error.
void WriteSelfSignedCert(const std::string& cert_path, const std::string& key_path,
                         const std::string& common_name = "127.0.0.1");

}  // namespace tidewell::testing

#endif  // TIDEWELL_TESTS_COMMON_TEST_CERT_H_
