#include "platform/proxy_tunnel.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "base/log.h"
#include "platform/fd_io.h"
#include "platform/platform_log.h"

namespace tidewell {

namespace {

// A proxy's reply header larger than this is not a proxy's reply.
constexpr size_t kMaxReplyHeader = 16384;

using Clock = std::chrono::steady_clock;

// Gives up after `timeout_seconds` without progress, or once the abort
// flag is raised (seen within a second).
class Waiter {
 public:
  explicit Waiter(const ProxyTunnelLimits& limits) : limits_(limits) { Progress(); }

  void Progress() { last_ = Clock::now(); }

  // The limits of the next wait, counted from the last progress.
  WaitLimits Limits() const {
    WaitLimits w;
    if (limits_.timeout_seconds != 0) w.deadline = last_ + std::chrono::seconds(limits_.timeout_seconds);
    w.abort_flag = limits_.abort_flag;
    return w;
  }

  // 0 when ready; kProxyTunnelTimeout, kProxyTunnelAborted or kProxyTunnelIo.
  int Wait(int fd, short events) {
    switch (WaitFd(fd, events, Limits())) {
      case FdWait::kReady:
        return 0;
      case FdWait::kTimeout:
        return kProxyTunnelTimeout;
      case FdWait::kAborted:
        return kProxyTunnelAborted;
      default:
        return kProxyTunnelIo;
    }
  }

 private:
  const ProxyTunnelLimits& limits_;
  Clock::time_point last_;
};

class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

struct AddrInfoFree {
  void operator()(addrinfo* a) const { freeaddrinfo(a); }
};

// Connects to one resolved address; returns the socket or a negative code.
int ConnectOne(const addrinfo* ai, Waiter& waiter) {
  FdCloser fd(::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol));
  if (fd.get() < 0) return kProxyTunnelConnect;
  int rc;
  do {
    rc = ::connect(fd.get(), ai->ai_addr, ai->ai_addrlen);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (errno != EINPROGRESS) return kProxyTunnelConnect;
    int w = waiter.Wait(fd.get(), POLLOUT);
    if (w < 0) return w;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return kProxyTunnelConnect;
  }
  int one = 1;
  setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd.release();
}

int ConnectProxy(const ProxyTunnelEndpoint& proxy, Waiter& waiter) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
  char port[16];
  std::snprintf(port, sizeof port, "%u", static_cast<unsigned>(proxy.port & 0xFFFF));
  addrinfo* found = nullptr;
  int gai = getaddrinfo(proxy.host, port, &hints, &found);
  if (gai != 0) {
    PT_LOG_WARN("cannot resolve proxy %s: %s", proxy.host, gai_strerror(gai));
    return kProxyTunnelResolve;
  }
  std::unique_ptr<addrinfo, AddrInfoFree> list(found);
  int rc = kProxyTunnelConnect;
  for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
    rc = ConnectOne(ai, waiter);
    if (rc >= 0 || rc == kProxyTunnelAborted) return rc;
  }
  return rc;
}

// Sends the whole request (a few hundred bytes: one time-out covers it).
int SendAll(int fd, const std::string& data, Waiter& waiter) {
  switch (WriteAll(fd, data.data(), data.size(), waiter.Limits())) {
    case kWriteOk:
      waiter.Progress();
      return 0;
    case kWriteTimeout:
      return kProxyTunnelTimeout;
    case kWriteAborted:
      return kProxyTunnelAborted;
    default:
      return kProxyTunnelIo;
  }
}

// Takes exactly `len` bytes that a peek has shown to be there.
int Consume(int fd, char* out, size_t len) {
  size_t got = 0;
  while (got < len) {
    ssize_t r = recv(fd, out + got, len - got, MSG_DONTWAIT);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return kProxyTunnelIo;
    got += static_cast<size_t>(r);
  }
  return 0;
}

// Reads the reply header and nothing after it: bytes are peeked, and only
// those up to the blank line are taken off the socket.
int ReadReplyHeader(int fd, std::string& header, Waiter& waiter) {
  header.clear();
  char buf[2048];
  for (;;) {
    size_t room = std::min(sizeof buf, kMaxReplyHeader - header.size());
    if (room == 0) return kProxyTunnelProtocol;
    ssize_t n = recv(fd, buf, room, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) return kProxyTunnelIo;  // closed before the header was complete
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return kProxyTunnelIo;
      int w = waiter.Wait(fd, POLLIN);
      if (w < 0) return w;
      continue;
    }
    waiter.Progress();
    size_t old = header.size();
    header.append(buf, static_cast<size_t>(n));
    // The blank line may straddle what was consumed before and these bytes.
    size_t from = old >= 3 ? old - 3 : 0;
    size_t end = header.find("\r\n\r\n", from);
    size_t len = end == std::string::npos ? std::string::npos : end + 4;
    if (len == std::string::npos) {
      size_t lf = header.find("\n\n", old >= 1 ? old - 1 : 0);
      if (lf != std::string::npos) len = lf + 2;
    }
    size_t take = len == std::string::npos ? static_cast<size_t>(n) : len - old;
    int rc = Consume(fd, header.data() + old, take);
    if (rc < 0) return rc;
    header.resize(old + take);
    if (len != std::string::npos) return 0;
  }
}

std::string HostPort(const ProxyTunnelEndpoint& target) {
  std::string host(target.host);
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  return host + ":" + std::to_string(target.port & 0xFFFF);
}

std::string BasicCredentials(const char* user, const char* password) {
  std::string plain = std::string(user) + ":" + (password != nullptr ? password : "");
  std::string out(4 * ((plain.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(plain.data()), static_cast<int>(plain.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

bool ValidHost(const char* host) {
  if (host == nullptr || *host == '\0') return false;
  for (const char* p = host; *p; ++p) {
    // A host travels inside the request line: no blanks or line breaks.
    if (static_cast<unsigned char>(*p) <= ' ' || *p == 0x7F) return false;
  }
  return true;
}

bool ValidCredential(const char* s) {
  if (s == nullptr) return true;
  for (const char* p = s; *p; ++p) {
    if (*p == '\r' || *p == '\n') return false;
  }
  return true;
}

}  // namespace

int VELTProxyTunnelOpen(const ProxyTunnelEndpoint* proxy, const ProxyTunnelEndpoint* target,
                        const ProxyTunnelCredentials* credentials, const ProxyTunnelLimits* limits) {
  if (proxy == nullptr || target == nullptr || !ValidHost(proxy->host) || !ValidHost(target->host)) {
    return kProxyTunnelInvalid;
  }
  const char* user = credentials != nullptr ? credentials->user_name : nullptr;
  const char* password = credentials != nullptr ? credentials->password : nullptr;
  if (!ValidCredential(user) || !ValidCredential(password)) return kProxyTunnelInvalid;

  ProxyTunnelLimits defaults;
  Waiter waiter(limits != nullptr ? *limits : defaults);
  int rc = ConnectProxy(*proxy, waiter);
  if (rc < 0) return rc;
  FdCloser fd(rc);

  std::string where = HostPort(*target);
  std::string request = "CONNECT " + where + " HTTP/1.1\r\nHost: " + where + "\r\n";
  if (user != nullptr && *user != '\0') {
    request += "Proxy-Authorization: Basic " + BasicCredentials(user, password) + "\r\n";
  }
  request += "\r\n";
  rc = SendAll(fd.get(), request, waiter);
  if (rc < 0) return rc;

  std::string header;
  rc = ReadReplyHeader(fd.get(), header, waiter);
  if (rc < 0) return rc;
  unsigned major = 0, minor = 0;
  int status = 0;
  if (std::sscanf(header.c_str(), "HTTP/%u.%u %3d", &major, &minor, &status) != 3) {
    PT_LOG_WARN("proxy %s answered without an HTTP status", proxy->host);
    return kProxyTunnelProtocol;
  }
  // 407 asks for credentials; some proxies answer 401 to wrong ones.
  if (status == 407 || status == 401) {
    PT_LOG_WARN("proxy %s wants authentication for %s (status %d)", proxy->host, where.c_str(), status);
    return kProxyTunnelAuth;
  }
  if (status < 200 || status > 299) {
    PT_LOG_WARN("proxy %s refused CONNECT %s with status %d", proxy->host, where.c_str(), status);
    return kProxyTunnelRefused;
  }
  PT_LOG_DEBUG("proxy %s opened a tunnel to %s", proxy->host, where.c_str());
  return fd.release();
}

void VELTProxyTunnelClose(int socket) {
  if (socket < 0) return;
  shutdown(socket, SHUT_RDWR);
  ::close(socket);
}

const char* ProxyTunnelErrorString(int code) {
  switch (code) {
    case kProxyTunnelInvalid:
      return "invalid argument";
    case kProxyTunnelResolve:
      return "proxy name does not resolve";
    case kProxyTunnelConnect:
      return "proxy unreachable";
    case kProxyTunnelIo:
      return "connection to the proxy broke off";
    case kProxyTunnelTimeout:
      return "proxy timed out";
    case kProxyTunnelAborted:
      return "aborted";
    case kProxyTunnelProtocol:
      return "proxy reply is not HTTP";
    case kProxyTunnelRefused:
      return "proxy refused the tunnel";
    case kProxyTunnelAuth:
      return "proxy authentication required";
    default:
      return code >= 0 ? "success" : "unknown error";
  }
}

}  // namespace tidewell
