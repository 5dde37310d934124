// The control loop: serves the daemon's control port, one request per
// connection, until a "stop" request has been executed.
//
// Each connection is first checked: only a peer that runs as the daemon's
// own user (looked up through the kernel's socket diagnostics) is served;
// any other connection is closed unread. The request is then read within
// hard limits (size, values, nesting, time; ControlChannel), handed to the
// controller's main thread, and its reply sent back. A connection that
// breaks any rule costs only itself.
//
// Not thread-safe: runs on the thread that calls Serve (the process's
// initial thread).

#ifndef TIDEWELL_DAEMON_CONTROL_LOOP_H_
#define TIDEWELL_DAEMON_CONTROL_LOOP_H_

#include <cstdint>

#include "daemon/control_channel.h"

namespace tidewell {

class IPCListener;
class Tidewell;

class ControlLoop {
 public:
  // Values accepted in one request (nested ones included).
  static constexpr uint64_t kMaxValues = 4096;

  // `listener` must be prepared; both must outlive the loop.
  ControlLoop(IPCListener& listener, Tidewell& controller);

  // Serves connections until "stop" has been executed.
  void Serve();

  // One pass: waits for a connection (up to the listener's time-out) and
  // serves it. True when the request was "stop" and it has been executed.
  bool ServeOne();

 private:
  // True when the peer of `fd` is this process's user; logs a refusal.
  bool AdmitPeer(int fd);

  IPCListener& listener_;
  Tidewell& controller_;
  const uint32_t own_uid_;
  ControlChannel::Limits limits_;
};

}  // namespace tidewell

#endif  // TIDEWELL_DAEMON_CONTROL_LOOP_H_
