// Who is at the other end of a loopback TCP connection.
//
// TCP carries no credentials, but when both ends live on this machine the
// kernel knows the far end's socket and the user that created it. The
// lookup asks the kernel's socket diagnostics (a NETLINK_SOCK_DIAG request
// for exactly the far end's address and port pair) and reads the owner from
// the answer.
//
// A far end that is no longer a socket held open by a process -- closed
// already, orphaned while its last bytes drain, or in TIME_WAIT -- has no
// owner the kernel will report, so it is answered as unknown. A caller that
// admits only known owners therefore needs its clients to keep their end
// open until it has looked.
//
// Thread-safe: every call uses a netlink socket of its own.

#ifndef TIDEWELL_PLATFORM_SOCKET_OWNER_H_
#define TIDEWELL_PLATFORM_SOCKET_OWNER_H_

#include <cstdint>

#include "platform/loopback_socket.h"

namespace tidewell {

// Finds the user id owning the far end of the connected IPv4 TCP socket
// `fd`. 1 found (`uid` set); 0 when the far end has no known owner (not on
// this machine, or no longer open, see above); -errno when the lookup fails
// (no socket diagnostics in this kernel, a netlink error, a reply that does
// not fit the request).
int FindPeerOwner(int fd, uint32_t& uid);

// The same for a connection given by its two ends, as seen from the socket
// whose owner is wanted: `ends.local_*` is that socket's own address.
int FindSocketOwner(const SocketEnds& ends, uint32_t& uid);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_SOCKET_OWNER_H_
