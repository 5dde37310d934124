// A TCP forwarder on 127.0.0.1 that counts the bytes it carries each way
// and can slow either direction down, so that tests can tell
// what travelled on the wire (a delta instead of a whole file, a resumed
// transfer) and can catch a transfer in the middle. It can cut connections
// at chosen byte offsets, and be pointed at another port (a server
// restarted elsewhere).
//
// Thread-safe: the counters and the rate may be read and set from any
// thread while connections run; one thread per direction per connection.

#ifndef TIDEWELL_TESTS_COMMON_FORWARDER_H_
#define TIDEWELL_TESTS_COMMON_FORWARDER_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace tidewell::testing {

class Forwarder {
 public:
  // Listens on a free loopback port and forwards to 127.0.0.1:`target_port`.
  explicit Forwarder(int target_port);
  // Closes the listener and every connection and joins the threads.
  ~Forwarder();
  Forwarder(const Forwarder&) = delete;
  Forwarder& operator=(const Forwarder&) = delete;

  int port() const { return port_; }
  uint64_t to_server() const { return to_server_.load(); }
  uint64_t to_client() const { return to_client_.load(); }
  int connections() const { return connections_.load(); }
  void ResetCounters() {
    to_server_ = 0;
    to_client_ = 0;
  }
  // Bytes per second towards the client; 0 = unlimited.
  void SetClientRate(uint64_t bytes_per_second) { rate_ = bytes_per_second; }
  // The same towards the server.
  void SetServerRate(uint64_t bytes_per_second) { server_rate_ = bytes_per_second; }
  // Cuts every open connection (both sockets shut down).
  void CutAll();
  // Cuts, once, the connection that carries the byte numbered `total`
  // towards the server (counting from this call, over all connections):
  // the bytes before it are forwarded, the server sees the connection end,
  // the client an end of stream (what it still writes is taken and
  // dropped, so it fails at once). The counter towards the server restarts.
  // 0 cancels.
  void CutToServerAfter(uint64_t total) {
    to_server_ = 0;
    cut_after_ = total;
  }
  // Once the count of bytes towards the client reaches `offset` (the
  // counter is not reset), forwards up to it (exactly, while one connection
  // carries that direction) and cuts every connection; one cut per call.
  // 0 cancels.
  void CutToClientAt(uint64_t offset) { cut_to_client_ = offset; }
  // Cuts made by CutToClientAt so far.
  int client_cuts() const { return client_cuts_.load(); }
  // New connections go to 127.0.0.1:`port` from now on.
  void SetTarget(int port) { target_port_ = port; }

 private:
  void AcceptLoop();
  void Pump(int from, int to, bool towards_client);

  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<int> target_port_;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> to_server_{0};
  std::atomic<uint64_t> to_client_{0};
  std::atomic<uint64_t> rate_{0};
  std::atomic<uint64_t> server_rate_{0};
  std::atomic<uint64_t> cut_after_{0};
  std::atomic<uint64_t> cut_to_client_{0};
  std::atomic<int> client_cuts_{0};
  std::atomic<int> connections_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  // Guarded by mutex_.
  std::vector<std::thread> pumps_;
  std::vector<int> sockets_;
};

}  // namespace tidewell::testing

#endif  // TIDEWELL_TESTS_COMMON_FORWARDER_H_
