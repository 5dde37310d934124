// Listening TCP sockets on the IPv4 loopback address, for the daemon's
// control port: create, bind to 127.0.0.1 (never to any other address),
// listen, wait for a connection and accept it, and the two addresses of an
// accepted connection.
//
// A LoopbackListener owns one socket and belongs to one thread; Close()
// from another thread is not supported. Functions return 0 (or a socket)
// on success and the negated errno value on failure, so callers can log the
// system's reason.

#ifndef TIDEWELL_PLATFORM_LOOPBACK_SOCKET_H_
#define TIDEWELL_PLATFORM_LOOPBACK_SOCKET_H_

#include <cstdint>

namespace tidewell {

class LoopbackListener {
 public:
  LoopbackListener() = default;
  ~LoopbackListener() { Close(); }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  // Creates the IPv4 TCP socket (close-on-exec), closing one that is open.
  // No socket option is set. 0 or -errno.
  [[nodiscard]] int Create();
  // Binds the socket to 127.0.0.1:`port` (1..65535, or 0 for a port the
  // system picks). 0 or -errno (-EINVAL without a socket or for a port out
  // of range).
  [[nodiscard]] int Bind(int port);
  // Starts listening with `backlog`. 0 or -errno.
  [[nodiscard]] int Listen(int backlog);
  // The bound port, or -errno.
  int Port() const;

  // Waits up to `timeout_ms` for a connection to accept: 1 ready, 0 not
  // within the time, -errno when the wait fails or nothing is open.
  int WaitForConnection(int timeout_ms) const;
  // Accepts one connection and returns its socket (close-on-exec, owned by
  // the caller), or -errno.
  int Accept() const;

  // Shuts the socket down and closes it; nothing when none is open.
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The two ends of a connected IPv4 TCP socket, addresses and ports in
// network byte order.
struct SocketEnds {
  uint32_t local_addr = 0;
  uint16_t local_port = 0;
  uint32_t peer_addr = 0;
  uint16_t peer_port = 0;
};

// Fills `ends` for the connected socket `fd`. 0, or -errno (-EAFNOSUPPORT
// for a socket that is not IPv4).
[[nodiscard]] int GetSocketEnds(int fd, SocketEnds& ends);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_LOOPBACK_SOCKET_H_
