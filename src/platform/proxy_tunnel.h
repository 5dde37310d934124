// TCP connections through an HTTP proxy: the proxy is asked with
// "CONNECT host:port" to open a connection to the target, after which the
// socket carries the target's bytes unchanged. Basic authentication is sent
// when a user name is given; the domain and workstation strings of the
// credential record are accepted for compatibility and not used (schemes
// that need them are not offered).
//
// Thread-safe: the functions share no state. Each call blocks its thread
// until the tunnel is open, refused, timed out or aborted.

#ifndef TIDEWELL_PLATFORM_PROXY_TUNNEL_H_
#define TIDEWELL_PLATFORM_PROXY_TUNNEL_H_

#include <atomic>
#include <cstdint>

namespace tidewell {

// A host (name or numeric address, zero-terminated) and a port in the low
// 16 bits of a 32-bit slot.
struct ProxyTunnelEndpoint {
  const char* host;
  uint32_t port;
};

// Credentials for the proxy; any string may be null or empty. `kind` is 4.
struct ProxyTunnelCredentials {
  const char* user_name;
  const char* password;
  const char* domain;
  const char* host;
  int32_t kind;
};

// How long to wait and when to give up; null means the defaults.
struct ProxyTunnelLimits {
  uint32_t timeout_seconds = 60;                 // without progress; 0 = never
  const std::atomic<int>* abort_flag = nullptr;  // non-zero: give up within 1 s
};

// Failures of VELTProxyTunnelOpen.
enum ProxyTunnelError : int {
  kProxyTunnelInvalid = -1,    // a missing or malformed argument
  kProxyTunnelResolve = -2,    // the proxy's name does not resolve
  kProxyTunnelConnect = -3,    // the proxy cannot be reached
  kProxyTunnelIo = -4,         // the conversation with the proxy broke off
  kProxyTunnelTimeout = -5,    // no progress within the time-out
  kProxyTunnelAborted = -6,    // the abort flag was raised
  kProxyTunnelProtocol = -7,   // the proxy's answer is not HTTP
  kProxyTunnelRefused = -8,    // the proxy answered with a non-2xx status
  kProxyTunnelAuth = -9,       // the proxy asks for (other) credentials (407, 401)
};

// Opens a connection to `target` through the HTTP proxy `proxy`. Returns
// a connected, non-blocking, close-on-exec socket owned by the caller
// (which may close it with VELTProxyTunnelClose or close(2)), or one of the
// negative ProxyTunnelError values. No byte past the proxy's reply header
// is consumed, so whatever the target sends first is still in the socket.
[[nodiscard]] int VELTProxyTunnelOpen(const ProxyTunnelEndpoint* proxy,
                                      const ProxyTunnelEndpoint* target,
                                      const ProxyTunnelCredentials* credentials,
                                      const ProxyTunnelLimits* limits = nullptr);

// Closes a socket that VELTProxyTunnelOpen returned. Negative values are
// ignored.
void VELTProxyTunnelClose(int socket);

// Text of a ProxyTunnelError for log lines.
const char* ProxyTunnelErrorString(int code);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_PROXY_TUNNEL_H_
