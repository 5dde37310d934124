// Connection: one pooled connection to the sync server -- its channel (plain,
// through the proxy, through the relay, or both) and how long the server
// keeps it alive.
//
// Thread-safety: a connection belongs to the one task that took it from the
// pool until it is pushed back; that task alone touches the channel and the
// times. Other threads only read the state (GetState), which has its own
// lock.

#ifndef TIDEWELL_NET_CONNECTION_H_
#define TIDEWELL_NET_CONNECTION_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "net/connection_info.h"
#include "net/server_channel.h"

namespace tidewell {

class Connection {
 public:
  enum ConnectionState { CONNECTED = 0, DISCONNECTED = 1 };

  // Builds the channel for `mode` (81,920-byte buffers): a plain server
  // channel for CHANNEL_NORMAL, otherwise the proxy, relay or
  // proxy-then-relay channel. `ca_file` enables the check of the server's
  // certificate (ServerChannel::SetCaFile). Not used, DISCONNECTED.
  Connection(ChannelMode mode, const ProxyInfo& proxy, const TunnelInfo& tunnel, bool use_ssl,
             const std::string& ca_file = {});
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Seconds of a monotonic clock; the unit of last_access. Never 0.
  static uint32_t Now();

  // Closes the channel; times to 0, pull_wait false; DISCONNECTED.
  void Drop();

  // Takes the server's "alive" answer: non-zero makes the connection alive
  // from now on (CONNECTED); 0 closes the channel (DISCONNECTED).
  void Update(uint32_t alive);

  // True while the server keeps the connection: alive_value is not 0 and no
  // more than alive_value seconds passed since last_access.
  bool IsAlive() const { return IsAlive(Now()); }
  // The same at the time `now` (a Now() value). A `now` before last_access
  // (a clock that went back) is not alive: how long the connection has idled
  // is then unknown.
  bool IsAlive(uint32_t now) const;

  ConnectionState GetState() const;
  void SetState(ConnectionState state);

  ServerChannel& GetChannel() { return *channel; }
  ChannelMode mode() const { return mode_; }

  // Owned by the task holding the connection (see the class comment).
  uint32_t last_access = 0;  // Now() of the last connect or use; 0 after a drop
  uint32_t alive_value = 0;  // seconds the server keeps it; 0 = not established
  // The server said "pull_wait": true when this connection connected: it
  // holds a pull that asks to wait ("wait_ms") until a change comes. False
  // after a drop and until the next handshake.
  bool pull_wait = false;

 private:
  friend class ConnectionPool;

  // Set at construction.
  const ChannelMode mode_;
  const std::unique_ptr<ServerChannel> channel;

  // Guarded by the pool's mutex.
  bool m_used = false;

  // Guarded by m_conn_state_lock.
  mutable std::mutex m_conn_state_lock;
  ConnectionState m_conn_state = DISCONNECTED;
};

}  // namespace tidewell

#endif  // TIDEWELL_NET_CONNECTION_H_
