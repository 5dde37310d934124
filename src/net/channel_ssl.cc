// Turning an open plain channel into an SSL channel.

#include <string>

#include "base/error_code.h"
#include "net/channel.h"
#include "net/net_log.h"
#include "net/ssl_session.h"

namespace tidewell {

int Channel::ConvertToSSLChannel(bool server) {
  if (m_isSSL) {
    CH_LOG_WARN("ConvertToSSLChannel: Channel is SSL channel, no need to be converted");
    return ERR_OK;
  }
  if (IsClosed()) return ERR_IO;
  // Plain bytes still queued were meant to go before the handshake.
  if (w_size > 0) {
    int rc = FlushWrite(0);
    if (rc < 0) return rc;
  }
  // Bytes the peer sent after its last plain message and that already sit in
  // the read buffer are the start of its handshake; hand them to the session.
  std::string prefix;
  prefix.reserve(r_size);
  for (size_t i = 0; i < r_size; ++i) prefix.push_back(static_cast<char>(r_buf[(r_head + i) % capacity_]));

  int fd = m_ops->get_fd();
  SslPtr ssl = NewSslSession(server, fd, std::move(prefix));
  if (ssl == nullptr) {
    CH_LOG_WARN("Open: init ssl failed");
    return ERR_IO;
  }
  int rc = SslHandshake(ssl.get(), m_timeout, channel_timeout, flag);
  if (rc < 0 || CheckSslPeer(ssl.get()) < 0) {
    CH_LOG_WARN("Open to SSL connect to server failed");
    return ERR_IO;  // the quiet free leaves the plain socket open
  }
  m_ops->detach();  // the session's operations own the socket from now on
  InstallOps(std::make_unique<SslSocketOps>(std::move(ssl), fd), true);
  return ERR_OK;
}

}  // namespace tidewell
