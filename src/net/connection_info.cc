#include "net/connection_info.h"

#include "net/pobject.h"

namespace tidewell {

namespace {

// Each helper assigns only when the request carries the key.
void Text(const PObject& r, const char* key, ustring& out) {
  if (r.hasMember(key)) out = r[key].asString();
}

void Bytes(const PObject& r, const char* key, std::string& out) {
  if (r.hasMember(key)) out = r[key].asString().c_str_utf8();
}

template <typename T, typename Read>
void Number(const PObject& r, const char* key, T& out, Read read) {
  if (r.hasMember(key)) out = static_cast<T>(read(r[key]));
}

void Flag(const PObject& r, const char* key, bool& out) {
  if (r.hasMember(key)) out = r[key].asBool();
}

}  // namespace

void FillConnectionInfo(const PObject& r, ConnectionInfo& info, ProxyInfo& proxy, TunnelInfo& tunnel) {
  Text(r, "session", info.session);
  Text(r, "server_ip", info.server_ip);
  Number(r, "server_port", info.server_port, [](const PObject& v) { return v.asInt32(); });
  Number(r, "connection_id", info.conn_id, [](const PObject& v) { return v.asUInt64(); });
  Number(r, "connection_mode", info.c_mode, [](const PObject& v) { return v.asInt32(); });
  Text(r, "username", info.username);
  Text(r, "computer_name", info.computer_name);
  Flag(r, "use_ssl", info.use_ssl);
  Number(r, "package_version", info.package_version, [](const PObject& v) { return v.asInt64(); });
  Text(r, "ssl_ca_file", info.ssl_ca_file);

  Flag(r, "use_proxy", proxy.use_proxy);
  Flag(r, "use_sys_proxy", proxy.use_sys_proxy);
  Bytes(r, "proxy_ip", proxy.proxy_ip);
  Number(r, "proxy_port", proxy.proxy_port, [](const PObject& v) { return v.asUInt16(); });
  Bytes(r, "proxy_username", proxy.user_name);
  Bytes(r, "proxy_password", proxy.password);
  Bytes(r, "proxy_domain", proxy.domain);
  Bytes(r, "proxy_host", proxy.host);

  Flag(r, "use_tunnel", tunnel.use_tunnel);
  Bytes(r, "tunnel_ip", tunnel.tunnel_ip);
  Number(r, "tunnel_port", tunnel.tunnel_port, [](const PObject& v) { return v.asUInt16(); });
}

}  // namespace tidewell
