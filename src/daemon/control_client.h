// The client side of the daemon's control protocol: one request over one
// loopback connection, and its reply. The command-line front end and the
// tests talk to a running daemon through it.
//
// The connection is kept open until the reply has arrived, or, for "stop"
// (which has no reply), until the daemon closes it once it has stopped;
// the daemon refuses requests whose sender has already gone, since it can
// no longer tell who sent them (docs/control-protocol.md).
//
// Thread-safe: every call uses its own connection.

#ifndef TIDEWELL_DAEMON_CONTROL_CLIENT_H_
#define TIDEWELL_DAEMON_CONTROL_CLIENT_H_

#include <cstdint>

namespace tidewell {

class PObject;

// Sends `request` to the daemon listening on 127.0.0.1:`port` and decodes
// its reply into `reply`. For "stop", returns once the daemon has closed
// the connection, with `reply` left empty. 0 on success; ERR_INVAL for a
// bad port; ERR_IO when no connection can be made or the daemon closed it
// without a reply; ERR_TIMEOUT when nothing moved for `timeout_seconds`;
// another negative code when the reply cannot be decoded.
[[nodiscard]] int SendControlRequest(int port, const PObject& request, PObject& reply, uint32_t timeout_seconds = 120);

}  // namespace tidewell

#endif  // TIDEWELL_DAEMON_CONTROL_CLIENT_H_
