// The client's half of the relay handshake, run over an SSL session with
// the relay service: send the upgrade request with the target and its
// token, read the answer's "X-Target-Status". docs/relay-tunnel.md has the
// bytes. Afterwards the caller drops the session without a closing alert
// and uses the raw socket, which the relay then forwards to the target.
//
// Waits poll the session's socket in steps of the given interval; an
// optional abort flag is checked at every step. Thread-safe for distinct
// sessions.

#ifndef TIDEWELL_NET_TUNNEL_CLIENT_H_
#define TIDEWELL_NET_TUNNEL_CLIENT_H_

#include <openssl/ssl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tidewell {

// Results of the waits below.
inline constexpr int kTunnelPollFailed = -402;  // the poll failed or the socket is invalid
inline constexpr int kTunnelTimedOut = -403;    // no progress within the time-out
inline constexpr int kTunnelAborted = -404;     // the abort flag was raised

// The "Host:" value of the request.
inline constexpr const char* kRelayHostName = "tidewell-relay";

// Returns 0 when `ssl` has data to read (already decrypted, or on its
// socket). Polls in steps of `sec`/`usec`; the elapsed count starts at one
// step and grows by one step per empty poll; kTunnelTimedOut once it has
// reached `channel_timeout` (0 = never). kTunnelPollFailed, kTunnelAborted.
[[nodiscard]] int SSL_read_timeout(SSL* ssl, long sec, long usec, uint32_t channel_timeout,
                                   const std::atomic<int>* abort_flag = nullptr);

// Writes all `len` bytes of `buf` through `ssl`. Returns 0;
// kTunnelPollFailed on a poll or SSL failure; kTunnelTimedOut after
// `channel_timeout` seconds (0 = never) of empty polls; kTunnelAborted.
[[nodiscard]] int VELTTunnelNonBlockingWrite(SSL* ssl, const void* buf, size_t len, long sec, long usec,
                                             uint32_t channel_timeout,
                                             const std::atomic<int>* abort_flag = nullptr);

// Asks the relay behind `ssl` (handshake done) for a tunnel to
// `host`:`port`. Returns the relay's status (0 = connected), the failure of
// writing the request, or -1 when no status arrived (the answer ended
// without one, or broke off). Reads nothing past the answer's blank line.
[[nodiscard]] int VELTTunnelClientHandshake(SSL* ssl, const char* host, int port, long sec, long usec,
                                            uint32_t channel_timeout,
                                            const std::atomic<int>* abort_flag = nullptr);

}  // namespace tidewell

#endif  // TIDEWELL_NET_TUNNEL_CLIENT_H_
