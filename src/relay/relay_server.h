// The relay service: the far end of a TunnelChannel. It accepts TCP
// connections, runs SSL with each just long enough to read the upgrade
// request and answer it, checks the token, connects to the requested target
// and then forwards raw bytes both ways (relay_forward.h) until the tunnel
// ends. docs/relay-tunnel.md describes the conversation.
//
// One thread accepts; each tunnel has a thread of its own that sleeps in
// poll(2) between transfers. Every wait also watches one stop descriptor, so
// Stop() ends handshakes, connects and tunnels within a moment. Each tunnel
// writes one log line when it ends or is refused (component "relay_debug").
// Only the targets of Options::allowed_targets are served, unless
// Options::allow_any opens the relay to every target.
//
// Thread-safe: Start once from one thread; Stop and the counters from any.

#ifndef TIDEWELL_RELAY_RELAY_SERVER_H_
#define TIDEWELL_RELAY_RELAY_SERVER_H_

#include <openssl/ssl.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tidewell {

class RelayServer {
 public:
  struct Options {
    std::string listen_address = "0.0.0.0";  // numeric IPv4 or IPv6 address
    int port = 7443;                          // 0 lets the system choose
    std::string cert_file;                    // PEM certificate (chain)
    std::string key_file;                     // PEM private key
    size_t max_tunnels = 1024;                // further connections are closed at once
    uint32_t handshake_seconds = 30;          // SSL handshake plus request
    uint32_t connect_seconds = 20;            // connecting to the target
    uint32_t idle_seconds = 0;                // a tunnel without traffic ends; 0 = never
    // Targets served, as "host:port" or "host:*". The relay is closed by
    // default: with an empty list it refuses every tunnel.
    std::vector<std::string> allowed_targets;
    // Serves any target, loopback and private addresses included, whatever
    // the list says. The token is no authentication, so this makes the relay
    // an open proxy for whoever can reach it; Start warns about it.
    bool allow_any = false;
  };

  explicit RelayServer(Options options);
  // Stops and joins everything.
  ~RelayServer();
  RelayServer(const RelayServer&) = delete;
  RelayServer& operator=(const RelayServer&) = delete;

  // Loads the certificate and key, binds, listens and starts accepting.
  // Returns 0, or -1 after logging what failed. Call once.
  [[nodiscard]] int Start();

  // The port the service listens on (after a successful Start).
  int port() const { return port_; }

  // Ends every tunnel and the accepting thread, and waits for them. Safe to
  // call several times and from any thread except a tunnel's own.
  void Stop();

  // Tunnels being handshaken or forwarded right now.
  size_t active_tunnels() const;
  // Waits until no tunnel is active, at most `seconds`; true when idle.
  bool WaitUntilIdle(uint32_t seconds) const;
  // Tunnels that reached the forwarding stage since Start.
  uint64_t tunnels_opened() const { return opened_.load(); }

 private:
  struct Tunnel {
    std::thread thread;
    std::atomic<bool> finished{false};
  };

  void AcceptLoop();
  void RunTunnel(int fd, const sockaddr_storage& peer, uint64_t id);
  bool TargetAllowed(const std::string& host, int port) const;
  // Joins tunnels that have finished. Call with tunnels_lock_ held.
  void ReapLocked();
  // Waits up to `ms` for the stop descriptor; true when stopping.
  bool WaitStop(int ms) const;

  // Set at construction / in Start, then read-only.
  const Options options_;
  SSL_CTX* ctx_ = nullptr;
  int listen_fd_ = -1;
  int stop_fd_ = -1;  // eventfd; readable once Stop() has begun
  int port_ = 0;
  std::thread acceptor_;

  std::atomic<uint64_t> next_id_{1};
  std::atomic<uint64_t> opened_{0};
  std::atomic<bool> stopped_{false};
  std::mutex stop_lock_;  // serialises Stop()

  // Guarded by tunnels_lock_.
  mutable std::mutex tunnels_lock_;
  mutable std::condition_variable tunnel_ended_;
  std::list<std::unique_ptr<Tunnel>> tunnels_;
  size_t active_ = 0;
};

}  // namespace tidewell

#endif  // TIDEWELL_RELAY_RELAY_SERVER_H_
