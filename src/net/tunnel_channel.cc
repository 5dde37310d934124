#include "net/tunnel_channel.h"

#include "base/error_code.h"
#include "net/net_log.h"

namespace tidewell {

TunnelChannel::TunnelChannel(const TunnelInfo& tunnel, size_t capacity)
    : ServerChannel(capacity), tunnel_address(tunnel.tunnel_ip), tunnel_port(tunnel.tunnel_port) {}

TunnelChannel::~TunnelChannel() { TunnelChannel::Close(); }

int TunnelChannel::Open(const char* address, int port) {
  if (address == nullptr || port < 0 || port > 65535) return ERR_INVAL;
  if (Channel::Open(tunnel_address.c_str(), tunnel_port) < 0) {
    TW_MOD_LOG(L_ERR, TW_NET_CH_, "tunnel_channel", "Connect failed\n");
    return ERR_IO;
  }
  if (UpgradeThroughRelay("tunnel_channel", address, port) < 0) {
    Close();
    return ERR_IO;
  }
  return ERR_OK;
}

int TunnelChannel::Close() { return Channel::Close(); }

}  // namespace tidewell
