#include "net/server_channel.h"

#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <memory>

#include "base/error_code.h"
#include "net/net_log.h"
#include "net/ssl_session.h"
#include "net/tunnel_client.h"

namespace tidewell {

namespace {

struct StoreFree {
  void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct StoreCtxFree {
  void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};

}  // namespace

int VerifyServerCertificate(SSL* ssl, const std::string& ca_file) {
  X509* leaf = SSL_get0_peer_certificate(ssl);
  if (leaf == nullptr) {
    TW_LOG_ERROR(TW_NET_CH_, "channel", "SSL server certificate: the server presented none\n");
    return -1;
  }
  std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
  if (store == nullptr || X509_STORE_load_file(store.get(), ca_file.c_str()) != 1) {
    TW_LOG_ERROR(TW_NET_CH_, "channel", "SSL server certificate: cannot load CA file '%s'\n", ca_file.c_str());
    ERR_clear_error();
    return -1;
  }
  std::unique_ptr<X509_STORE_CTX, StoreCtxFree> ctx(X509_STORE_CTX_new());
  if (ctx == nullptr || X509_STORE_CTX_init(ctx.get(), store.get(), leaf, SSL_get_peer_cert_chain(ssl)) != 1) {
    TW_LOG_ERROR(TW_NET_CH_, "channel", "SSL server certificate: cannot set up the verification\n");
    ERR_clear_error();
    return -1;
  }
  X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_SSL_SERVER);
  if (X509_verify_cert(ctx.get()) != 1) {
    int err = X509_STORE_CTX_get_error(ctx.get());
    TW_LOG_ERROR(TW_NET_CH_, "channel", "SSL server certificate rejected against CA file '%s': %s (%d)\n",
                 ca_file.c_str(), X509_verify_cert_error_string(err), err);
    ERR_clear_error();
    return -1;
  }
  return 0;
}

int ServerChannel::CheckSslPeer(ssl_st* ssl) {
  if (ca_file_.empty()) return 0;
  return VerifyServerCertificate(ssl, ca_file_);
}

int ServerChannel::UpgradeThroughRelay(const char* module, const char* address, int port) {
  SslPtr ssl = NewSslSession(false, GetFd());
  if (ssl == nullptr) {
    TW_MOD_LOG(L_ERR, TW_NET_CH_, module, "Open: init ssl failed\n");
    return ERR_IO;
  }
  if (SSL_get_fd(ssl.get()) < 0) {
    TW_MOD_LOG(L_ERR, TW_NET_CH_, module, "set fd failed\n");
    return ERR_IO;
  }
  if (SslHandshake(ssl.get(), poll_interval(), GetTimeout(), abort_flag_) < 0) {
    TW_MOD_LOG(L_ERR, TW_NET_CH_, module, "Open to SSL connect to tunnel failed\n");
    return ERR_IO;
  }
  const timeval& step = poll_interval();
  int status = VELTTunnelClientHandshake(ssl.get(), address, port, step.tv_sec, step.tv_usec, GetTimeout(),
                                         abort_flag_);
  if (status != 0) {
    TW_MOD_LOG(L_ERR, TW_NET_CH_, module, "VELTTunnelClientHandshake: failed, code: %d\n", status);
    return ERR_IO;
  }
  ssl.reset();  // quiet: no closing alert; the socket stays open
  ClearRead();
  ClearWrite();
  return ERR_OK;
}

}  // namespace tidewell
