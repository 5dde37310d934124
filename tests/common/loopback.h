// A listening TCP socket on 127.0.0.1 with a port the system chose, for
// tests that play a peer (a user interface, a proxy, a server). Tests never
// listen on other addresses.
//
// Thread-safe in the one way tests need: Accept may block in one thread
// while another calls Close, which wakes it.

#ifndef TIDEWELL_TESTS_COMMON_LOOPBACK_H_
#define TIDEWELL_TESTS_COMMON_LOOPBACK_H_

#include <atomic>

namespace tidewell::testing {

class LoopbackListener {
 public:
  // Binds and listens; fails the current test when it cannot.
  explicit LoopbackListener(int backlog = 64);
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  int port() const { return port_; }
  int fd() const { return fd_.load(); }
  // Blocks until a connection arrives or Close(); returns its socket
  // (close-on-exec, owned by the caller) or -1.
  int Accept();
  // Wakes a blocked Accept (which then fails) and closes the socket.
  void Close();

 private:
  std::atomic<int> fd_{-1};
  int port_ = 0;
};

// A port on 127.0.0.1 that nothing listens on (bound, then released).
int UnusedLoopbackPort();

}  // namespace tidewell::testing

#endif  // TIDEWELL_TESTS_COMMON_LOOPBACK_H_
