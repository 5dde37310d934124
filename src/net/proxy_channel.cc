#include "net/proxy_channel.h"

#include "base/error_code.h"
#include "net/net_log.h"
#include "platform/proxy_tunnel.h"

namespace tidewell {

ProxyChannel::ProxyChannel(const ProxyInfo& proxy, size_t capacity)
    : ServerChannel(capacity),
      proxy_address(proxy.proxy_ip),
      proxy_port(proxy.proxy_port),
      user_name(proxy.user_name),
      user_password(proxy.password),
      user_domain(proxy.domain),
      user_host(proxy.host) {}

ProxyChannel::~ProxyChannel() { ProxyChannel::Close(); }

int ProxyChannel::Open(const char* address, int port) {
  if (address == nullptr || port < 0 || port > 65535) return ERR_INVAL;
  ClearRead();
  ClearWrite();
  ProxyTunnelEndpoint proxy{proxy_address.c_str(), proxy_port};
  ProxyTunnelEndpoint target{address, static_cast<uint32_t>(port)};
  ProxyTunnelCredentials credentials{user_name.c_str(), user_password.c_str(), user_domain.c_str(),
                                     user_host.c_str(), 4};
  ProxyTunnelLimits limits;
  limits.timeout_seconds = GetTimeout();
  limits.abort_flag = abort_flag();
  int fd = VELTProxyTunnelOpen(&proxy, &target, &credentials, &limits);
  if (fd < 0) {
    TW_MOD_LOG(L_ERR, TW_NET_CH_, "proxy_channel",
               "ProxyChannel::Open: fail to connect to proxy server (%s:%d)\n", proxy_address.c_str(),
               static_cast<int>(proxy_port));
    return ERR_IO;
  }
  int rc = Channel::Open(fd, true);
  if (rc < 0) {
    // Already open, or the socket cannot be configured: it is not adopted.
    VELTProxyTunnelClose(fd);
    return rc == ERR_INVAL ? ERR_INVAL : ERR_IO;
  }
  TW_MOD_LOG(L_WARNING, TW_NET_CH_, "proxy_channel", "ProxyChannel::Open: socket %d has been connect to proxy (%s:%d)\n",
             fd, proxy_address.c_str(), static_cast<int>(proxy_port));
  return ERR_OK;
}

// The plain close shuts the socket down and closes it; nothing is left for
// the proxy layer to release.
int ProxyChannel::Close() { return Channel::Close(); }

ProxyTunnelChannel::ProxyTunnelChannel(const ProxyInfo& proxy, const TunnelInfo& tunnel, size_t capacity)
    : ProxyChannel(proxy, capacity), tunnel_address(tunnel.tunnel_ip), tunnel_port(tunnel.tunnel_port) {}

ProxyTunnelChannel::~ProxyTunnelChannel() { ProxyTunnelChannel::Close(); }

int ProxyTunnelChannel::Open(const char* address, int port) {
  if (address == nullptr || port < 0 || port > 65535) return ERR_INVAL;
  int ret = ERR_OK;
  if (ProxyChannel::Open(tunnel_address.c_str(), tunnel_port) < 0) {
    TW_MOD_LOG(L_ERR, TW_NET_CH_, "proxy_tunnel_channel", "Open proxy failed\n");
    ret = ERR_IO;
    TW_MOD_LOG(L_ERR, TW_NET_CH_, "proxy_tunnel_channel", "ProxyTunnelChannel[%d]: ret = %d\n", __LINE__, ret);
    return ret;
  }
  if (UpgradeThroughRelay("proxy_tunnel_channel", address, port) < 0) {
    Close();
    ret = ERR_IO;
  }
  TW_MOD_LOG(L_ERR, TW_NET_CH_, "proxy_tunnel_channel", "ProxyTunnelChannel[%d]: ret = %d\n", __LINE__, ret);
  return ret;
}

int ProxyTunnelChannel::Close() { return ProxyChannel::Close(); }

}  // namespace tidewell
