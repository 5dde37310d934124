// TunnelChannel: a server channel that reaches the server through the
// relay service. Opening connects to the relay, asks it over a short SSL
// session for a tunnel to the target, and then carries the target's bytes on
// the plain socket; everything after Open is the ordinary Channel,
// including the server protocol's own SSL upgrade.
//
// Not thread-safe, like Channel.

#ifndef TIDEWELL_NET_TUNNEL_CHANNEL_H_
#define TIDEWELL_NET_TUNNEL_CHANNEL_H_

#include <cstdint>
#include <string>

#include "net/connection_info.h"
#include "net/server_channel.h"

namespace tidewell {

class TunnelChannel : public ServerChannel {
 public:
  explicit TunnelChannel(const TunnelInfo& tunnel, size_t capacity = kDefaultCapacity);
  ~TunnelChannel() override;

  using Channel::Open;
  // Opens a tunnel to the dotted IPv4 `address` and `port` through the
  // relay. Returns 0; ERR_INVAL for a null address or a port outside
  // 0..65535 (nothing is opened); ERR_IO when the relay cannot be reached,
  // the SSL session or the relay handshake fails, or the relay reports a
  // non-zero status (the channel is then closed).
  [[nodiscard]] int Open(const char* address, int port) override;
  int Close() override;

 private:
  // Set at construction.
  const std::string tunnel_address;
  const uint16_t tunnel_port;
};

}  // namespace tidewell

#endif  // TIDEWELL_NET_TUNNEL_CHANNEL_H_
