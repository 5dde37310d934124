#include "net/tunnel_client.h"

#include <openssl/err.h>
#include <strings.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/net_log.h"
#include "net/socket_ops.h"
#include "net/tunnel_crypto.h"

namespace tidewell {

namespace {

constexpr size_t kMaxLine = 1023;
// An answer with more header lines than this is no relay's answer; stop
// reading instead of following a peer that never ends its header.
constexpr int kMaxLines = 100;
constexpr size_t kMaxTarget = 1024;


bool Aborted(const std::atomic<int>* flag) { return flag != nullptr && flag->load(std::memory_order_relaxed) != 0; }

uint64_t StepSeconds(long sec) { return sec > 0 ? static_cast<uint64_t>(sec) : 1; }

// Polls once for `for_write`; 0 ready, 1 nothing yet, or a failure code.
int PollOnce(int fd, bool for_write, long sec, long usec) {
  timeval tv{sec, static_cast<suseconds_t>(usec)};
  switch (WaitSocket(fd, for_write, tv)) {
    case WaitResult::kReady:
      return 0;
    case WaitResult::kTimeout:
      return 1;
    case WaitResult::kNotInSet:
    case WaitResult::kError:
      break;
  }
  return kTunnelPollFailed;
}

// Parses "X-Target-Status: %d" with the name in any letter case. Returns
// true and the value when the line carries one.
bool ParseStatusLine(const std::string& line, int& status) {
  static constexpr char kName[] = "X-Target-Status";
  constexpr size_t n = sizeof kName - 1;
  if (line.size() < n || strncasecmp(line.c_str(), kName, n) != 0) return false;
  const char* p = line.c_str() + n;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p != ':') return false;
  ++p;
  char* end = nullptr;
  long v = std::strtol(p, &end, 10);
  if (end == p || v < INT_MIN || v > INT_MAX) return false;
  status = static_cast<int>(v);
  return true;
}

// Reads one line (up to and including LF, at most kMaxLine bytes) without
// taking anything past it. Returns 1 with a line, 0 when the stream ended
// before any byte of it, or a wait failure.
int ReadLine(SSL* ssl, long sec, long usec, uint32_t timeout, const std::atomic<int>* flag, std::string& line) {
  line.clear();
  char peek[kMaxLine];
  for (;;) {
    int rc = SSL_read_timeout(ssl, sec, usec, timeout, flag);
    if (rc < 0) return rc;
    ERR_clear_error();
    int n = SSL_peek(ssl, peek, static_cast<int>(kMaxLine - line.size()));
    if (n <= 0) {
      int err = SSL_get_error(ssl, n);
      if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) continue;
      ERR_clear_error();
      return line.empty() ? 0 : 1;  // the stream ended
    }
    const char* lf = static_cast<const char*>(std::memchr(peek, '\n', static_cast<size_t>(n)));
    int take = lf != nullptr ? static_cast<int>(lf - peek) + 1 : n;
    size_t old = line.size();
    line.resize(old + static_cast<size_t>(take));
    int got = SSL_read(ssl, line.data() + old, take);  // what the peek showed is there
    if (got != take) {
      ERR_clear_error();
      line.resize(old + (got > 0 ? static_cast<size_t>(got) : 0));
      return line.empty() ? 0 : 1;
    }
    if (lf != nullptr || line.size() >= kMaxLine) return 1;
  }
}

}  // namespace

int SSL_read_timeout(SSL* ssl, long sec, long usec, uint32_t channel_timeout, const std::atomic<int>* abort_flag) {
  if (SSL_pending(ssl) > 0) return 0;
  int fd = SSL_get_fd(ssl);
  uint64_t elapsed = StepSeconds(sec);
  for (;;) {
    if (Aborted(abort_flag)) return kTunnelAborted;
    int rc = PollOnce(fd, false, sec, usec);
    if (rc <= 0) return rc;
    elapsed += StepSeconds(sec);
    if (channel_timeout != 0 && elapsed >= channel_timeout) return kTunnelTimedOut;
  }
}

int VELTTunnelNonBlockingWrite(SSL* ssl, const void* buf, size_t len, long sec, long usec, uint32_t channel_timeout,
                               const std::atomic<int>* abort_flag) {
  int fd = SSL_get_fd(ssl);
  const char* p = static_cast<const char*>(buf);
  size_t done = 0;
  uint64_t elapsed = 0;
  bool for_write = true;
  while (done < len) {
    if (Aborted(abort_flag)) return kTunnelAborted;
    int rc = PollOnce(fd, for_write, sec, usec);
    if (rc < 0) return rc;
    if (rc == 1) {
      elapsed += StepSeconds(sec);
      if (channel_timeout != 0 && elapsed >= channel_timeout) return kTunnelTimedOut;
      continue;
    }
    ERR_clear_error();
    int chunk = len - done > INT_MAX ? INT_MAX : static_cast<int>(len - done);
    int n = SSL_write(ssl, p + done, chunk);
    if (n > 0) {
      done += static_cast<size_t>(n);
      elapsed = 0;
      for_write = true;
      continue;
    }
    int err = SSL_get_error(ssl, n);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
      for_write = err == SSL_ERROR_WANT_WRITE;
      continue;
    }
    ERR_clear_error();
    return kTunnelPollFailed;
  }
  return 0;
}

int VELTTunnelClientHandshake(SSL* ssl, const char* host, int port, long sec, long usec, uint32_t channel_timeout,
                              const std::atomic<int>* abort_flag) {
  if (ssl == nullptr || host == nullptr) return -1;
  for (const char* c = host; *c; ++c) {
    if (static_cast<unsigned char>(*c) <= ' ') return -1;  // would break the request's lines
  }
  char target[kMaxTarget + 1];
  int tn = std::snprintf(target, sizeof target, "%s:%d", host, port);
  if (tn < 0 || static_cast<size_t>(tn) > kMaxTarget) {
    TC_LOG_WARN("target %s is too long for a token", host);
    return -1;
  }
  std::string token = MakeTunnelToken(target);
  if (token.empty()) {
    TC_LOG_WARN("cannot build the token");
    return -1;
  }
  std::string request = std::string("GET /velt-tunnel HTTP/1.1\r\nHost: ") + kRelayHostName +
                        "\r\nUpgrade: VeltronaTunnel\r\nX-Target-Host: " + host +
                        "\r\nX-Target-Port: " + std::to_string(port) + "\r\nX-AuthToken: " + token + "\r\n\r\n";
  int rc = VELTTunnelNonBlockingWrite(ssl, request.data(), request.size(), sec, usec, channel_timeout, abort_flag);
  if (rc < 0) return rc;

  int status = -1;
  std::string line;
  for (int i = 0; i < kMaxLines; ++i) {
    rc = ReadLine(ssl, sec, usec, channel_timeout, abort_flag, line);
    if (rc <= 0) return status;  // broke off (or ended): the status so far
    if (line[0] == '\r' || line[0] == '\n') return status;
    ParseStatusLine(line, status);
    TC_LOG_DEBUG("relay: %.*s", static_cast<int>(line.find_last_not_of("\r\n") + 1), line.c_str());
  }
  // Whatever the status said, the rest of this answer would be read as the
  // target's bytes.
  TC_LOG_WARN("relay answer has more than %d lines", kMaxLines);
  return -1;
}

}  // namespace tidewell
