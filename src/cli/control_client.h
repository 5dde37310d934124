// Control requests to the running daemon: one value object per loopback
// connection to the daemon's control port, one value object back (none for
// "stop"). The daemon executes requests one at a time, so a request may
// wait behind a slow one; the time-out is per request.
//
// A thin layer over the daemon's own client (daemon/control_client.h) that
// turns its codes into words. Stateless; callable from any thread.

#ifndef TIDEWELL_CLI_CONTROL_CLIENT_H_
#define TIDEWELL_CLI_CONTROL_CLIENT_H_

#include <cstdint>
#include <string>

#include "net/pobject.h"

namespace tidewell::cli {

// Sends `request` to 127.0.0.1:`port` and waits up to `timeout_s` seconds
// without progress for the answer (into `reply`), or, when `reply` is null
// (for "stop", which gets none), until the daemon closes the connection:
// the daemon checks who is at the other end before it reads, so the end
// must stay open until it is done. Returns 0 when the exchange worked (the
// reply may still carry "error": see ControlError), or -1 with `error` when
// the daemon cannot be reached or does not answer.
[[nodiscard]] int SendControl(int port, const PObject& request, PObject* reply, uint32_t timeout_s,
                              std::string& error);

// The daemon's refusal text in `reply` ("error"), or "" when it succeeded.
std::string ControlError(const PObject& reply);

}  // namespace tidewell::cli

#endif  // TIDEWELL_CLI_CONTROL_CLIENT_H_
