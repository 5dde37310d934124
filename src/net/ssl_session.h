// SSL sessions on a channel's socket: creating the session in client or
// server role, the time-limited handshake, and the channel operations that
// run over an established session. Relay channels reuse the first two.

#ifndef TIDEWELL_NET_SSL_SESSION_H_
#define TIDEWELL_NET_SSL_SESSION_H_

#include <openssl/ssl.h>
#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "net/channel.h"

namespace tidewell {

// Frees an SSL session without sending a closing alert.
struct SslQuietFree {
  void operator()(SSL* ssl) const;
};
using SslPtr = std::unique_ptr<SSL, SslQuietFree>;

// Creates an SSL session on `fd` (which stays the caller's) in the server or
// client role, with its own context, peer certificates not verified. A client
// asks for the cipher list "RC4-MD5" and, when the library refuses it (as
// current ones do), logs a warning and keeps the library's defaults. A
// server loads the certificate and key files of ssl_setup.h. `prefix` holds
// bytes already read from the socket that belong to the SSL stream; they are
// consumed before the socket. Returns the session, or null after logging.
SslPtr NewSslSession(bool server, int fd, std::string prefix = {});

// Runs the handshake of `ssl`, polling its socket for up to `wait` per step.
// Returns 0; ERR_IO when the handshake fails; ERR_SYS when the poll fails;
// ERR_TIMEOUT after `timeout_seconds` (0 = never) without progress; ERR_INT
// when `flag` is raised.
[[nodiscard]] int SslHandshake(SSL* ssl, const timeval& wait, uint32_t timeout_seconds,
                               const std::atomic<int>* flag);

// Logs and empties the thread's SSL error queue.
void LogSslErrors();

// Channel operations over an established session. The object owns the
// session and the socket; close() shuts both down. Not thread-safe.
class SslSocketOps final : public ChannelOps {
 public:
  SslSocketOps(SslPtr ssl, int fd) : ssl_(std::move(ssl)), fd_(fd) {}
  ~SslSocketOps() override { close(); }

  int read(uint8_t* buf, size_t len, const timeval& wait) override;   // SSLReadFd
  int write(const uint8_t* buf, size_t len, const timeval& wait) override;  // SSLWriteFd
  int get_fd() const override { return fd_; }
  void close() override;
  bool isInvalid() const override { return ssl_ == nullptr; }

 private:
  SslPtr ssl_;
  int fd_;
};

}  // namespace tidewell

#endif  // TIDEWELL_NET_SSL_SESSION_H_
