// The daemon's loopback listening socket for control requests.
//
// prepare() binds the first free port on 127.0.0.1 counting upwards from
// the port it is given and listens; isReady() waits a bounded time for a
// connection, accept() takes it. Only the loopback address is ever bound.
//
// Not thread-safe: the control loop's thread owns it.

#ifndef TIDEWELL_DAEMON_IPC_LISTENER_H_
#define TIDEWELL_DAEMON_IPC_LISTENER_H_

#include <sys/time.h>

#include "platform/loopback_socket.h"

namespace tidewell {

class IPCListener {
 public:
  // How long isReady() waits at most by default.
  static constexpr timeval kDefaultTimeout{3, 0};

  IPCListener() = default;
  ~IPCListener() { close(); }
  IPCListener(const IPCListener&) = delete;
  IPCListener& operator=(const IPCListener&) = delete;

  void setTimeout(const timeval& t) { timeout = t; }

  // Closes an open socket, creates a new one, binds it by the port search
  // from `port` (do_bind) and listens with a backlog of 8. Returns the bound
  // port, or -1 (the socket is then closed again).
  int prepare(int port);

  // The port search: tries `port`, `port` + 1, ... on 127.0.0.1 (a start
  // below 1 is taken as 1) until a bind succeeds; every attempt is logged.
  // Returns the bound port, or -1 once the search passes 65535.
  int do_bind(int port);

  // True when a connection is waiting, within the time-out; false when none
  // came, nothing is open or the wait failed.
  bool isReady();

  // Accepts one connection: its socket (owned by the caller), or -1.
  int accept();

  void close() { socket_.Close(); }

 private:
  timeval timeout = kDefaultTimeout;
  LoopbackListener socket_;
};

}  // namespace tidewell

#endif  // TIDEWELL_DAEMON_IPC_LISTENER_H_
