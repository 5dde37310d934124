#include "common/forwarder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace tidewell::testing {

Forwarder::Forwarder(int target_port) : target_port_(target_port) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && listen(listen_fd_, 64) == 0 &&
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
    port_ = ntohs(sa.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

Forwarder::~Forwarder() {
  stopping_ = true;
  shutdown(listen_fd_, SHUT_RDWR);
  acceptor_.join();
  close(listen_fd_);
  CutAll();
  std::vector<std::thread> pumps;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pumps.swap(pumps_);
  }
  for (auto& t : pumps) t.join();
  for (int fd : sockets_) close(fd);
}

void Forwarder::CutAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (int fd : sockets_) shutdown(fd, SHUT_RDWR);
}

void Forwarder::AcceptLoop() {
  while (!stopping_) {
    int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (stopping_) return;
      continue;
    }
    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(target_port_.load()));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(server, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      close(client);
      close(server);
      continue;
    }
    // Passed on as they come: Nagle's algorithm here would hold back
    // every write smaller than a segment (on loopback, most of them) until
    // the peer's delayed ack, 40 ms later, which neither end asked for.
    int one = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ++connections_;
    std::lock_guard<std::mutex> lock(mutex_);
    sockets_.push_back(client);
    sockets_.push_back(server);
    pumps_.emplace_back([this, client, server] { Pump(client, server, false); });
    pumps_.emplace_back([this, client, server] { Pump(server, client, true); });
  }
}

void Forwarder::Pump(int from, int to, bool towards_client) {
  char buf[16384];
  auto window_start = std::chrono::steady_clock::now();
  uint64_t window_bytes = 0;
  for (;;) {
    ssize_t n = read(from, buf, sizeof buf);
    if (n <= 0) break;
    {
      // Throttle by pacing whole reads against the allowed rate.
      uint64_t rate = (towards_client ? rate_ : server_rate_).load();
      if (rate > 0) {
        window_bytes += static_cast<uint64_t>(n);
        auto due = window_start + std::chrono::microseconds(window_bytes * 1000000 / rate);
        std::this_thread::sleep_until(due);
      } else {
        window_start = std::chrono::steady_clock::now();
        window_bytes = 0;
      }
    }
    bool cut = false;
    if (!towards_client) {
      uint64_t limit = cut_after_.load();
      uint64_t sent = to_server_.load();
      if (limit != 0 && sent + static_cast<uint64_t>(n) >= limit) {
        n = static_cast<ssize_t>(limit > sent ? limit - sent : 0);
        cut_after_ = 0;
        cut = true;
      }
    }
    bool cut_all = false;
    if (towards_client) {
      uint64_t at = cut_to_client_.load();
      uint64_t sent = to_client_.load();
      if (at != 0 && sent + static_cast<uint64_t>(n) >= at && cut_to_client_.compare_exchange_strong(at, 0)) {
        n = static_cast<ssize_t>(at > sent ? at - sent : 0);
        cut_all = true;
      }
    }
    ssize_t off = 0;
    while (off < n) {
      // A peer that has gone must not end the test program with SIGPIPE.
      ssize_t w = send(to, buf + off, static_cast<size_t>(n - off), MSG_NOSIGNAL);
      if (w <= 0) {
        shutdown(from, SHUT_RDWR);
        shutdown(to, SHUT_RDWR);
        return;
      }
      off += w;
    }
    (towards_client ? to_client_ : to_server_) += static_cast<uint64_t>(n);
    if (cut_all) {
      ++client_cuts_;
      CutAll();
      return;
    }
    if (cut) {
      shutdown(to, SHUT_RDWR);
      shutdown(from, SHUT_WR);
      while (read(from, buf, sizeof buf) > 0) {
      }
      shutdown(from, SHUT_RDWR);
      return;
    }
  }
  shutdown(to, SHUT_WR);
  shutdown(from, SHUT_RD);
}

}  // namespace tidewell::testing
