// One tunnel of the relay service, from the accepted connection to the end
// of forwarding.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "platform/fd_io.h"
#include "relay/relay_forward.h"
#include "relay/relay_log.h"
#include "relay/relay_request.h"
#include "relay/relay_server.h"

namespace tidewell {

const ustring& RelayComponent() {
  static const ustring name("relay_debug");
  return name;
}

namespace {

using Clock = std::chrono::steady_clock;

std::string PeerText(const sockaddr_storage& ss) {
  char host[INET6_ADDRSTRLEN] = "?";
  int port = 0;
  if (ss.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&ss);
    inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
    port = ntohs(a->sin_port);
  } else if (ss.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&ss);
    inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
    port = ntohs(a->sin6_port);
  }
  return std::string(host) + ":" + std::to_string(port);
}

class FdGuard {
 public:
  explicit FdGuard(int fd = -1) : fd_(fd) {}
  ~FdGuard() { reset(); }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// The relay never sends a closing alert: after the answer the socket
// carries raw bytes, and so it does after a refusal (the client drops the
// session the same way).
struct SslQuiet {
  void operator()(SSL* ssl) const {
    SSL_set_quiet_shutdown(ssl, 1);
    SSL_free(ssl);
  }
};
using QuietSsl = std::unique_ptr<SSL, SslQuiet>;

// Runs `op` (an SSL call) until it succeeds. Returns its positive result,
// 0 when the peer closed, or -1 on failure, time-out or stop (`why` says).
template <typename Op>
int SslRetry(SSL* ssl, int fd, int stop_fd, Clock::time_point deadline, const char*& why, Op op) {
  for (;;) {
    ERR_clear_error();
    int rc = op();
    if (rc > 0) return rc;
    int err = SSL_get_error(ssl, rc);
    if (err == SSL_ERROR_ZERO_RETURN) return 0;
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
      why = err == SSL_ERROR_SYSCALL && rc == 0 ? "connection closed" : "SSL error";
      if (err == SSL_ERROR_SYSCALL && rc == 0) return 0;
      return -1;
    }
    switch (WaitFd(fd, err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, WaitLimits{deadline, stop_fd})) {
      case FdWait::kReady:
        break;
      case FdWait::kTimeout:
        why = "timed out";
        return -1;
      case FdWait::kStopped:
        why = "relay stopping";
        return -1;
      case FdWait::kAborted:
      case FdWait::kInvalid:
      case FdWait::kError:
        why = "poll failed";
        return -1;
    }
  }
}

// Connects to the target; returns the socket or -1.
int ConnectTarget(const std::string& host, int port, int stop_fd, uint32_t seconds) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, freeaddrinfo);
  const auto deadline = Clock::now() + std::chrono::seconds(seconds == 0 ? 3600 : seconds);
  for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
    FdGuard fd(::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol));
    if (fd.get() < 0) continue;
    int rc;
    do {
      rc = ::connect(fd.get(), ai->ai_addr, ai->ai_addrlen);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      if (errno != EINPROGRESS) continue;
      if (WaitFd(fd.get(), POLLOUT, WaitLimits{deadline, stop_fd}) != FdWait::kReady) return -1;
      int err = 0;
      socklen_t len = sizeof err;
      if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) continue;
    }
    int one = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd.release();
  }
  return -1;
}

void BlockSigpipe() {
  // A peer that vanishes must not kill the process through a write: with
  // SIGPIPE blocked in this thread the write fails with EPIPE instead.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

void RelayServer::RunTunnel(int raw_fd, const sockaddr_storage& peer, uint64_t id) {
  BlockSigpipe();
  const auto started = Clock::now();
  const unsigned long long tid = static_cast<unsigned long long>(id);
  const std::string from = PeerText(peer);
  FdGuard client(raw_fd);
  int one = 1;
  setsockopt(raw_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  QuietSsl ssl(SSL_new(ctx_));
  if (ssl == nullptr || SSL_set_fd(ssl.get(), raw_fd) != 1) {
    RELAY_LOG_ERR("tunnel %llu from %s: cannot create the SSL session", tid, from.c_str());
    ERR_clear_error();
    return;
  }
  SSL_set_accept_state(ssl.get());
  const auto deadline = started + std::chrono::seconds(options_.handshake_seconds == 0 ? 3600 : options_.handshake_seconds);
  const char* why = "";
  if (SslRetry(ssl.get(), raw_fd, stop_fd_, deadline, why, [&] { return SSL_do_handshake(ssl.get()); }) <= 0) {
    RELAY_LOG_WARN("tunnel %llu from %s: SSL handshake failed (%s)", tid, from.c_str(), why);
    ERR_clear_error();
    return;
  }

  // The request, up to its blank line; anything after it is already the
  // client's first raw bytes for the target.
  std::string request;
  size_t header_end = std::string::npos;
  char buf[2048];
  while (header_end == std::string::npos && request.size() < kRelayMaxRequest) {
    int n = SslRetry(ssl.get(), raw_fd, stop_fd_, deadline, why,
                     [&] { return SSL_read(ssl.get(), buf, sizeof buf); });
    if (n <= 0) {
      RELAY_LOG_WARN("tunnel %llu from %s: no complete request (%s)", tid, from.c_str(),
                     n == 0 ? "connection closed" : why);
      return;
    }
    request.append(buf, static_cast<size_t>(n));
    header_end = FindHeaderEnd(request);
  }
  // Bytes already decrypted past the request must not vanish with the session.
  while (header_end != std::string::npos && SSL_pending(ssl.get()) > 0) {
    int n = SSL_read(ssl.get(), buf, sizeof buf);
    if (n <= 0) break;
    request.append(buf, static_cast<size_t>(n));
  }

  RelayRequest req;
  int status = header_end == std::string::npos || header_end > kRelayMaxRequest
                   ? static_cast<int>(kRelayBadRequest)
                   : ParseRelayRequest(std::string_view(request).substr(0, header_end), req);
  if (status == kRelayConnected && !RelayTokenMatches(req)) status = kRelayBadToken;
  if (status == kRelayConnected && !TargetAllowed(req.target_host, req.target_port)) status = kRelayForbidden;
  FdGuard target;
  if (status == kRelayConnected) {
    target.reset(ConnectTarget(req.target_host, req.target_port, stop_fd_, options_.connect_seconds));
    if (target.get() < 0) status = kRelayUnreachable;
  }

  std::string answer = FormatRelayResponse(status);
  const auto answer_deadline = Clock::now() + std::chrono::seconds(options_.handshake_seconds == 0 ? 3600 : options_.handshake_seconds);
  if (SslRetry(ssl.get(), raw_fd, stop_fd_, answer_deadline, why, [&] {
        return SSL_write(ssl.get(), answer.data(), static_cast<int>(answer.size()));
      }) <= 0) {
    RELAY_LOG_WARN("tunnel %llu from %s: cannot send the answer (%s)", tid, from.c_str(), why);
    return;
  }
  ssl.reset();
  std::string where = req.target_host.empty() ? std::string("?")
                                              : req.target_host + ":" + std::to_string(req.target_port);
  if (status != kRelayConnected) {
    const char* rule = status != kRelayForbidden ? ""
                       : options_.allowed_targets.empty() ? ": no target is allowed on this relay"
                                                          : ": not in the --allow list";
    RELAY_LOG_WARN("tunnel %llu from %s to %s refused: status %d (%s%s)", tid, from.c_str(), where.c_str(), status,
                   RelayStatusText(status), rule);
    return;
  }

  opened_.fetch_add(1);
  RELAY_LOG_DEBUG("tunnel %llu from %s to %s open", tid, from.c_str(), where.c_str());
  ForwardResult r = ForwardBoth(raw_fd, target.get(), request.substr(header_end), stop_fd_, options_.idle_seconds);
  double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  RELAY_LOG_INFO("tunnel %llu from %s to %s ended (%s): %llu bytes to target, %llu bytes to client, %.1f s", tid,
                 from.c_str(), where.c_str(), ForwardEndText(r.end),
                 static_cast<unsigned long long>(r.client_to_target),
                 static_cast<unsigned long long>(r.target_to_client), seconds);
}

}  // namespace tidewell
