// A listening TCP socket on 127.0.0.1, and who is on the other end of a
// loopback connection. Loopback TCP is open to every local user, so a
// server that takes orders over it checks the peer's user first.
//
// PortListener is not thread-safe; one thread opens, accepts and closes.
// PortPeerUid may be called from any thread.

#ifndef TIDEWELL_PLATFORM_UI_PORT_LISTENER_H_
#define TIDEWELL_PLATFORM_UI_PORT_LISTENER_H_

#include <sys/types.h>

namespace tidewell {

class PortListener {
 public:
  PortListener() = default;
  ~PortListener() { Close(); }
  PortListener(const PortListener&) = delete;
  PortListener& operator=(const PortListener&) = delete;

  // Listens on 127.0.0.1:`port` (0: a free port the system picks). Returns
  // the bound port, or -1 (errno set) after closing what was opened.
  int Open(int port);

  // Waits up to `timeout_ms` for a connection. Returns its socket (the
  // caller owns it; close-on-exec, blocking), 0 on time-out, -1 on error.
  int Accept(int timeout_ms);

  void Close();
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// The user id owning the other end of the loopback TCP connection `fd`, as
// the kernel's connection table reports it; -1 when it cannot be found
// (not a loopback IPv4 connection, or the table is unreadable).
long PortPeerUid(int fd);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_UI_PORT_LISTENER_H_
