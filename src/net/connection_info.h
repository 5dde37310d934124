// The connection settings that the user interface hands the daemon: where
// the server is, how to reach it (directly, through an HTTP proxy, through
// the relay service, or through the proxy and then the relay), and who the
// client is. Plain values, copied freely; not synchronised.

#ifndef TIDEWELL_NET_CONNECTION_INFO_H_
#define TIDEWELL_NET_CONNECTION_INFO_H_

#include <cstdint>
#include <string>

#include "base/ustring.h"

namespace tidewell {

class PObject;

struct ConnectionInfo {
  int c_mode = 0;  // how the server address was obtained
  ustring server_name;
  ustring server_ip;  // dotted IPv4 address
  int server_port = 0;
  ustring username;
  ustring password;
  ustring server_id;
  ustring session;  // token sent in the connect request
  int protocol_version = 0;
  uint64_t conn_id = 0;
  ustring computer_name;
  bool use_ssl = true;
  long package_version = 0;
  // PEM certificates that the server's certificate must chain to; empty
  // accepts any server certificate (the default, which peers rely on).
  ustring ssl_ca_file;
};

struct ProxyInfo {
  bool use_proxy = false;
  bool use_sys_proxy = false;
  std::string proxy_ip;
  uint16_t proxy_port = 0;
  std::string user_name;
  std::string password;
  std::string domain;
  std::string host;

  // A proxy takes part only when it is switched on and has an address.
  bool IsSet() const { return use_proxy && !proxy_ip.empty(); }
};

struct TunnelInfo {
  bool use_tunnel = false;
  std::string tunnel_ip;
  uint16_t tunnel_port = 0;
};

// How a connection reaches the server.
enum ChannelMode {
  CHANNEL_NORMAL = 0,
  CHANNEL_PROXY = 1,
  CHANNEL_TUNNEL = 2,
  CHANNEL_PROXY_TUNNEL = 3,
  CHANNEL_UNKNOWN = 4,
};

// Fills the three records from the connection data of a "link_connection"
// or "reload_connection" request: "session", "server_ip", "server_port",
// "connection_id", "connection_mode", "username", "computer_name",
// "use_ssl", "package_version", "ssl_ca_file"; "use_proxy",
// "use_sys_proxy", "proxy_ip", "proxy_port", "proxy_username",
// "proxy_password", "proxy_domain", "proxy_host"; "use_tunnel",
// "tunnel_ip", "tunnel_port". Keys that are absent leave the record's
// value (so "use_ssl" stays true unless the request says otherwise).
// Checking the required keys is the caller's business.
void FillConnectionInfo(const PObject& request, ConnectionInfo& info, ProxyInfo& proxy, TunnelInfo& tunnel);

}  // namespace tidewell

#endif  // TIDEWELL_NET_CONNECTION_INFO_H_
