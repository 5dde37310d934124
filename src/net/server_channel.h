// ServerChannel: the channel of a connection to the sync server. It is a
// plain Channel with two additions that the relay and proxy channels build
// on: an optional check of the server's certificate chain when the channel
// turns into an SSL channel, and the relay handshake that TunnelChannel and
// ProxyTunnelChannel run on a freshly opened socket.
//
// Not thread-safe, like Channel; only the abort flag comes from other
// threads.

#ifndef TIDEWELL_NET_SERVER_CHANNEL_H_
#define TIDEWELL_NET_SERVER_CHANNEL_H_

#include <openssl/ssl.h>

#include <atomic>
#include <string>

#include "net/channel.h"

namespace tidewell {

class ServerChannel : public Channel {
 public:
  explicit ServerChannel(size_t capacity = kDefaultCapacity) : Channel(capacity) {}

  // PEM certificates that the server's certificate chain must lead to when
  // the channel converts to SSL; empty (the default) accepts any server.
  void SetCaFile(const std::string& path) { ca_file_ = path; }
  const std::string& ca_file() const { return ca_file_; }

  void SetFlag(const std::atomic<int>* abort_flag) override {
    abort_flag_ = abort_flag;
    Channel::SetFlag(abort_flag);
  }

 protected:
  int CheckSslPeer(ssl_st* ssl) override;

  // Runs SSL with the relay service on the open socket, asks it for a
  // tunnel to `address`:`port`, then drops the SSL session without a
  // closing alert and empties both buffers, leaving the plain socket that
  // the relay forwards. Logs failures under `module`. Returns 0, or ERR_IO
  // after releasing the SSL session (the socket stays open; the caller
  // closes the channel).
  [[nodiscard]] int UpgradeThroughRelay(const char* module, const char* address, int port);

  const std::atomic<int>* abort_flag() const { return abort_flag_; }

 private:
  std::string ca_file_;
  const std::atomic<int>* abort_flag_ = nullptr;
};

// Verifies the certificate chain that the peer of `ssl` presented against
// the PEM certificates in `ca_file`, for use by an SSL server. Returns 0,
// or -1 after logging why ("[ERROR] channel(...): SSL server certificate
// ...").
[[nodiscard]] int VerifyServerCertificate(SSL* ssl, const std::string& ca_file);

}  // namespace tidewell

#endif  // TIDEWELL_NET_SERVER_CHANNEL_H_
