#include "net/ssl_session.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "base/error_code.h"
#include "net/net_log.h"
#include "net/socket_ops.h"
#include "net/ssl_setup.h"

namespace tidewell {

namespace {

// The socket glue under every SSL session. OpenSSL's own socket BIO writes
// with write(2), which raises SIGPIPE when the peer has gone; this one sends
// with MSG_NOSIGNAL so a vanished peer is an I/O error like on a plain
// channel. It also replays bytes the channel had already buffered.
struct SocketBioState {
  int fd;
  std::string prefix;
  size_t prefix_pos = 0;
};

SocketBioState* StateOf(BIO* b) { return static_cast<SocketBioState*>(BIO_get_data(b)); }

int SocketBioWrite(BIO* b, const char* buf, int len) {
  BIO_clear_retry_flags(b);
  ssize_t n;
  do {
    n = send(StateOf(b)->fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_write(b);
  return static_cast<int>(n);
}

int SocketBioRead(BIO* b, char* buf, int len) {
  BIO_clear_retry_flags(b);
  SocketBioState* st = StateOf(b);
  if (st->prefix_pos < st->prefix.size()) {
    size_t n = std::min(static_cast<size_t>(len), st->prefix.size() - st->prefix_pos);
    std::memcpy(buf, st->prefix.data() + st->prefix_pos, n);
    st->prefix_pos += n;
    return static_cast<int>(n);
  }
  ssize_t n;
  do {
    n = recv(st->fd, buf, static_cast<size_t>(len), MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(b);
  return static_cast<int>(n);
}

long SocketBioCtrl(BIO* b, int cmd, long, void* ptr) {
  switch (cmd) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_C_GET_FD:
      if (ptr != nullptr) *static_cast<int*>(ptr) = StateOf(b)->fd;
      return StateOf(b)->fd;
    case BIO_CTRL_PENDING: {
      SocketBioState* st = StateOf(b);
      return static_cast<long>(st->prefix.size() - st->prefix_pos);
    }
    default:
      return 0;
  }
}

int SocketBioDestroy(BIO* b) {
  delete StateOf(b);  // the BIO owns its state; the socket stays open
  BIO_set_data(b, nullptr);
  return 1;
}

const BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                 "tidewell socket");
    if (m != nullptr) {
      BIO_meth_set_write(m, SocketBioWrite);
      BIO_meth_set_read(m, SocketBioRead);
      BIO_meth_set_ctrl(m, SocketBioCtrl);
      BIO_meth_set_destroy(m, SocketBioDestroy);
    }
    return m;
  }();
  return method;
}

BIO* NewSocketBio(int fd, std::string prefix) {
  const BIO_METHOD* method = SocketBioMethod();
  if (method == nullptr) return nullptr;
  BIO* b = BIO_new(method);
  if (b == nullptr) return nullptr;
  BIO_set_data(b, new SocketBioState{fd, std::move(prefix)});
  BIO_set_init(b, 1);
  return b;
}

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};

}  // namespace

void SslQuietFree::operator()(SSL* ssl) const {
  SSL_set_quiet_shutdown(ssl, 1);
  SSL_free(ssl);
}

void LogSslErrors() {
  unsigned long e;
  char text[256];
  while ((e = ERR_get_error()) != 0) {
    ERR_error_string_n(e, text, sizeof text);
    CH_LOG_WARN("ssl-errors: %s", text);
  }
}

SslPtr NewSslSession(bool server, int fd, std::string prefix) {
  if (InitSslLibrary() < 0) return nullptr;
  ERR_clear_error();
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx(SSL_CTX_new(server ? TLS_server_method() : TLS_client_method()));
  if (ctx == nullptr) {
    CH_LOG_WARN("m_ssl_ctx created failed");
    LogSslErrors();
    return nullptr;
  }
  if (server) {
    if (SSL_CTX_use_certificate_file(ctx.get(), GetCERTPath().c_str(), SSL_FILETYPE_PEM) != 1) {
      CH_LOG_WARN("Install certificate failed");
      CH_LOG_WARN("Open: init ssl certificate failed");
      LogSslErrors();
      return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx.get(), GetPriKeyPath().c_str(), SSL_FILETYPE_PEM) != 1) {
      CH_LOG_WARN("Install private key failed");
      CH_LOG_WARN("Open: init ssl private key failed");
      LogSslErrors();
      return nullptr;
    }
  } else if (SSL_CTX_set_cipher_list(ctx.get(), "RC4-MD5") != 1) {
    // Current libraries no longer carry RC4; their defaults are stronger.
    CH_LOG_WARN("can't set cipher suit to SSL3_TXT_RSA_RC4_128_MD5");
    ERR_clear_error();
  }
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

  SslPtr ssl(SSL_new(ctx.get()));  // holds its own reference to the context
  if (ssl == nullptr) {
    CH_LOG_WARN("m_ssl created failed");
    LogSslErrors();
    return nullptr;
  }
  BIO* bio = NewSocketBio(fd, std::move(prefix));
  if (bio == nullptr) {
    CH_LOG_WARN("set fd failed");
    return nullptr;
  }
  SSL_set_bio(ssl.get(), bio, bio);
  if (server) {
    SSL_set_accept_state(ssl.get());
  } else {
    SSL_set_connect_state(ssl.get());
  }
  return ssl;
}

int SslHandshake(SSL* ssl, const timeval& wait, uint32_t timeout_seconds, const std::atomic<int>* flag) {
  int fd = SSL_get_fd(ssl);
  uint64_t elapsed = 0;
  for (;;) {
    if (flag != nullptr && flag->load(std::memory_order_relaxed) != 0) return ERR_INT;
    ERR_clear_error();
    int rc = SSL_do_handshake(ssl);
    if (rc == 1) return ERR_OK;
    int err = SSL_get_error(ssl, rc);
    if (rc == 0 || (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)) {
      CH_LOG_WARN("SSLHandshake: SSL error code: %d", err);
      LogSslErrors();
      return ERR_IO;
    }
    switch (WaitSocket(fd, err == SSL_ERROR_WANT_WRITE, wait)) {
      case WaitResult::kReady:
        CH_LOG_DEBUG("SSLHandshake: reset timeout");
        elapsed = 0;
        break;
      case WaitResult::kError:
        CH_LOG_WARN("SSLHandshake: select: Error Code: %d", errno);
        return ERR_SYS;
      case WaitResult::kNotInSet:
        CH_LOG_WARN("SSLHandshake: select returns but fd is not set");
        return ERR_SYS;
      case WaitResult::kTimeout:
        elapsed += wait.tv_sec > 0 ? static_cast<uint64_t>(wait.tv_sec) : 1;
        if (timeout_seconds != 0 && elapsed >= timeout_seconds) {
          CH_LOG_WARN("SSLHandshake: timed out during connect (%d seconds), abort anyway",
                      static_cast<int>(timeout_seconds));
          return ERR_TIMEOUT;
        }
        break;
    }
  }
}

int SslSocketOps::read(uint8_t* buf, size_t len, const timeval& wait) {
  if (len == 0) {
    CH_LOG_WARN("ReadFd: request 0");
    return ERR_INVAL;
  }
  if (ssl_ == nullptr) return ERR_IO;
  int want = len > INT_MAX ? INT_MAX : static_cast<int>(len);
  bool waited = false;
  for (;;) {
    ERR_clear_error();
    int n = SSL_read(ssl_.get(), buf, want);
    if (n > 0) return n;
    int err = SSL_get_error(ssl_.get(), n);
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
      CH_LOG_WARN("Diagnose: SSL_read failed");
      LogSslErrors();
      return ERR_IO;
    }
    if (waited) {
      CH_LOG_DEBUG("SSL want read");
      return ERR_TIMEOUT;
    }
    int rc = WaitForTransfer(fd_, false, err == SSL_ERROR_WANT_WRITE, wait);
    if (rc < 0) return rc;
    waited = true;
  }
}

int SslSocketOps::write(const uint8_t* buf, size_t len, const timeval& wait) {
  if (len == 0) {
    CH_LOG_WARN("WriteFd: request 0");
    return ERR_INVAL;
  }
  if (ssl_ == nullptr) return ERR_IO;
  int want = len > INT_MAX ? INT_MAX : static_cast<int>(len);
  bool waited = false;
  for (;;) {
    ERR_clear_error();
    errno = 0;
    int n = SSL_write(ssl_.get(), buf, want);
    if (n > 0) return n;
    int err = SSL_get_error(ssl_.get(), n);
    if (err == SSL_ERROR_SYSCALL) {
      int e = errno;
      CH_LOG_WARN("syscall error: n = %d, ssl_ret = %d, errno = %d, err = %s", want, n, e, strerror(e));
      LogSslErrors();
      return ERR_SYS;
    }
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
      CH_LOG_WARN("misc error: n = %d, ssl_ret = %d, errno = %d", want, n, errno);
      LogSslErrors();
      return ERR_IO;
    }
    if (waited) {
      CH_LOG_DEBUG("SSL want write");
      return ERR_TIMEOUT;
    }
    int rc = WaitForTransfer(fd_, true, err == SSL_ERROR_WANT_WRITE, wait);
    if (rc < 0) return rc;
    waited = true;
  }
}

void SslSocketOps::close() {
  if (ssl_ != nullptr) {
    ERR_clear_error();
    SSL_shutdown(ssl_.get());  // one non-blocking attempt at the closing alert
    ERR_clear_error();
    SSL_free(ssl_.release());
  }
  CloseSocket(fd_);
}

}  // namespace tidewell
