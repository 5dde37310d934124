#include "relay/relay_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "net/ssl_setup.h"
#include "relay/relay_log.h"

namespace tidewell {

namespace {

void LogSslQueue() {
  unsigned long e;
  char text[256];
  while ((e = ERR_get_error()) != 0) {
    ERR_error_string_n(e, text, sizeof text);
    RELAY_LOG_ERR("ssl: %s", text);
  }
}

}  // namespace

RelayServer::RelayServer(Options options) : options_(std::move(options)) {}

RelayServer::~RelayServer() {
  Stop();
  if (listen_fd_ >= 0) ::close(listen_fd_);
  if (stop_fd_ >= 0) ::close(stop_fd_);
  SSL_CTX_free(ctx_);
}

int RelayServer::Start() {
  if (InitSslLibrary() < 0) {
    RELAY_LOG_ERR("cannot initialise the SSL library");
    return -1;
  }
  ERR_clear_error();
  ctx_ = SSL_CTX_new(TLS_server_method());
  if (ctx_ == nullptr) {
    RELAY_LOG_ERR("cannot create the SSL context");
    LogSslQueue();
    return -1;
  }
  if (SSL_CTX_use_certificate_chain_file(ctx_, options_.cert_file.c_str()) != 1) {
    RELAY_LOG_ERR("cannot load the certificate file '%s'", options_.cert_file.c_str());
    LogSslQueue();
    return -1;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx_, options_.key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx_) != 1) {
    RELAY_LOG_ERR("cannot load the private key file '%s' (or it does not match the certificate)",
                  options_.key_file.c_str());
    LogSslQueue();
    return -1;
  }
  // The session ends right after the handshake answer; tickets sent after
  // it would land in the client's raw byte stream.
  SSL_CTX_set_num_tickets(ctx_, 0);
  SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_OFF);

  stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stop_fd_ < 0) {
    RELAY_LOG_ERR("eventfd: %s", strerror(errno));
    return -1;
  }

  sockaddr_storage ss{};
  socklen_t ss_len = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
  if (inet_pton(AF_INET, options_.listen_address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(options_.port));
    ss_len = sizeof *v4;
  } else if (inet_pton(AF_INET6, options_.listen_address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(options_.port));
    ss_len = sizeof *v6;
  } else {
    RELAY_LOG_ERR("'%s' is no numeric address to listen on", options_.listen_address.c_str());
    return -1;
  }
  if (options_.port < 0 || options_.port > 65535) {
    RELAY_LOG_ERR("port %d is out of range", options_.port);
    return -1;
  }
  listen_fd_ = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listen_fd_ < 0) {
    RELAY_LOG_ERR("socket: %s", strerror(errno));
    return -1;
  }
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&ss), ss_len) != 0) {
    RELAY_LOG_ERR("cannot bind %s:%d: %s", options_.listen_address.c_str(), options_.port, strerror(errno));
    return -1;
  }
  if (listen(listen_fd_, 128) != 0) {
    RELAY_LOG_ERR("listen: %s", strerror(errno));
    return -1;
  }
  ss_len = sizeof ss;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&ss), &ss_len);
  port_ = ntohs(ss.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
  RELAY_LOG_NOTE("listening on %s port %d", options_.listen_address.c_str(), port_);
  if (options_.allow_any) {
    RELAY_LOG_WARN("serving tunnels to any target, loopback and private addresses included (--allow-any): "
                   "whoever reaches this relay reaches every address it can");
  } else if (options_.allowed_targets.empty()) {
    RELAY_LOG_WARN("no target allowed: every tunnel will be refused (name targets with --allow HOST:PORT)");
  } else {
    std::string list;
    for (const auto& t : options_.allowed_targets) list += (list.empty() ? "" : ", ") + t;
    RELAY_LOG_NOTE("serving tunnels to %s", list.c_str());
  }
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return 0;
}

bool RelayServer::WaitStop(int ms) const {
  pollfd p{stop_fd_, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

void RelayServer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    int n = poll(fds, 2, -1);
    if (n < 0 && errno != EINTR) {
      RELAY_LOG_ERR("poll: %s", strerror(errno));
      return;
    }
    if (fds[1].revents != 0) return;
    if (n <= 0 || fds[0].revents == 0) continue;

    sockaddr_storage peer{};
    socklen_t peer_len = sizeof peer;
    int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &peer_len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // The connection stays queued; retrying at once would spin.
        RELAY_LOG_WARN("accept: %s; retrying shortly", strerror(errno));
        if (WaitStop(200)) return;
      }
      continue;
    }
    std::lock_guard<std::mutex> lock(tunnels_lock_);
    ReapLocked();
    uint64_t id = next_id_.fetch_add(1);
    if (active_ >= options_.max_tunnels) {
      RELAY_LOG_WARN("tunnel %llu refused: %zu tunnels open, the limit", static_cast<unsigned long long>(id),
                     active_);
      ::close(fd);
      continue;
    }
    auto tunnel = std::make_unique<Tunnel>();
    Tunnel* t = tunnel.get();
    try {
      t->thread = std::thread([this, fd, peer, id, t] {
        RunTunnel(fd, peer, id);
        std::lock_guard<std::mutex> done(tunnels_lock_);
        --active_;
        t->finished.store(true);
        tunnel_ended_.notify_all();
      });
    } catch (const std::system_error& e) {
      // Out of threads: this connection is refused, the service goes on.
      RELAY_LOG_ERR("tunnel %llu refused: cannot start a thread (%s)", static_cast<unsigned long long>(id), e.what());
      ::close(fd);
      continue;
    }
    ++active_;
    tunnels_.push_back(std::move(tunnel));
  }
}

void RelayServer::ReapLocked() {
  for (auto it = tunnels_.begin(); it != tunnels_.end();) {
    if ((*it)->finished.load()) {
      (*it)->thread.join();
      it = tunnels_.erase(it);
    } else {
      ++it;
    }
  }
}

void RelayServer::Stop() {
  std::lock_guard<std::mutex> serial(stop_lock_);
  if (stopped_.exchange(true)) return;
  if (stop_fd_ >= 0) {
    uint64_t one = 1;
    (void)!write(stop_fd_, &one, sizeof one);
  }
  if (acceptor_.joinable()) acceptor_.join();
  // No new tunnels now; wait for the running ones to see the stop.
  std::list<std::unique_ptr<Tunnel>> all;
  {
    std::lock_guard<std::mutex> lock(tunnels_lock_);
    all.swap(tunnels_);
  }
  for (auto& t : all) t->thread.join();
  if (port_ != 0) RELAY_LOG_NOTE("stopped");
}

size_t RelayServer::active_tunnels() const {
  std::lock_guard<std::mutex> lock(tunnels_lock_);
  return active_;
}

bool RelayServer::WaitUntilIdle(uint32_t seconds) const {
  std::unique_lock<std::mutex> lock(tunnels_lock_);
  return tunnel_ended_.wait_for(lock, std::chrono::seconds(seconds), [this] { return active_ == 0; });
}

bool RelayServer::TargetAllowed(const std::string& host, int port) const {
  if (options_.allow_any) return true;
  std::string exact = host + ":" + std::to_string(port);
  std::string any = host + ":*";
  for (const auto& allowed : options_.allowed_targets) {
    if (allowed == exact || allowed == any) return true;
  }
  return false;
}

}  // namespace tidewell
