// ProxyChannel: a server channel opened through an HTTP proxy (CONNECT,
// platform/proxy_tunnel.h). ProxyTunnelChannel goes one step further: the
// proxy connects to the relay service, and the relay handshake
// (TunnelChannel) runs over that connection. After Open both are ordinary
// channels on the socket.
//
// Not thread-safe, like Channel.

#ifndef TIDEWELL_NET_PROXY_CHANNEL_H_
#define TIDEWELL_NET_PROXY_CHANNEL_H_

#include <cstdint>
#include <string>

#include "net/connection_info.h"
#include "net/server_channel.h"

namespace tidewell {

class ProxyChannel : public ServerChannel {
 public:
  explicit ProxyChannel(const ProxyInfo& proxy, size_t capacity = kDefaultCapacity);
  ~ProxyChannel() override;

  using Channel::Open;
  // Asks the proxy for a connection to `address`:`port` and adopts it.
  // Returns 0; ERR_INVAL for a null address or a port outside 0..65535;
  // ERR_IO when the proxy cannot be reached or refuses (the channel stays
  // closed).
  [[nodiscard]] int Open(const char* address, int port) override;
  int Close() override;

 protected:
  // Set at construction.
  const std::string proxy_address;
  const uint16_t proxy_port;
  const std::string user_name;
  const std::string user_password;
  const std::string user_domain;
  const std::string user_host;
};

class ProxyTunnelChannel : public ProxyChannel {
 public:
  ProxyTunnelChannel(const ProxyInfo& proxy, const TunnelInfo& tunnel, size_t capacity = kDefaultCapacity);
  ~ProxyTunnelChannel() override;

  using Channel::Open;
  // Opens a tunnel to `address`:`port`: the proxy connects to the relay,
  // the relay to the target. Results as TunnelChannel::Open.
  [[nodiscard]] int Open(const char* address, int port) override;
  int Close() override;

 private:
  // Set at construction.
  const std::string tunnel_address;
  const uint16_t tunnel_port;
};

}  // namespace tidewell

#endif  // TIDEWELL_NET_PROXY_CHANNEL_H_
