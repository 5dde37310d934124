// Moving raw bytes both ways between the two sockets of a relay tunnel.
//
// Each direction has its own buffer. When one side stops sending (end of
// stream), what is buffered is delivered and the other side's sending
// direction is shut down, so each peer sees the end of the other's data; the
// tunnel ends when both directions have ended, when either socket fails,
// when the stop descriptor becomes readable, or after `idle_seconds`
// without traffic. The loop sleeps in poll(2) only; it never spins.
//
// Thread-safe for distinct socket pairs; one call owns its pair.

#ifndef TIDEWELL_RELAY_RELAY_FORWARD_H_
#define TIDEWELL_RELAY_RELAY_FORWARD_H_

#include <cstdint>
#include <string>

namespace tidewell {

// Why a forwarding loop ended.
enum class ForwardEnd {
  kClosed,   // both sides finished sending
  kError,    // a socket failed (reset, broken pipe, ...)
  kStopped,  // the stop descriptor became readable
  kIdle,     // no traffic for the idle time
};

const char* ForwardEndText(ForwardEnd end);

struct ForwardResult {
  ForwardEnd end = ForwardEnd::kClosed;
  uint64_t client_to_target = 0;  // bytes delivered to the target
  uint64_t target_to_client = 0;  // bytes delivered to the client
};

// Forwards between `client` and `target` (both connected; made non-blocking
// here) until the tunnel ends. `first_to_target` is sent to the target
// before anything else (bytes that arrived with the handshake). `stop_fd`
// may be -1. `idle_seconds` 0 waits forever. The sockets stay open; the
// caller closes them.
ForwardResult ForwardBoth(int client, int target, const std::string& first_to_target, int stop_fd,
                          uint32_t idle_seconds);

}  // namespace tidewell

#endif  // TIDEWELL_RELAY_RELAY_FORWARD_H_
