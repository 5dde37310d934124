#include "relay/relay_request.h"

#include <strings.h>

#include <cctype>
#include <charconv>
#include <cstdio>

#include "net/tunnel_crypto.h"

namespace tidewell {

namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// A host name or address: printable, no blanks, nothing that could split a
// line or a "host:port" pair ambiguously beyond IPv6 colons.
bool ValidHost(std::string_view host) {
  if (host.empty() || host.size() > 255) return false;
  for (char c : host) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= ' ' || u >= 0x7F) return false;
  }
  return true;
}

bool ValidToken(std::string_view token) {
  if (token.empty() || token.size() > 4096) return false;
  for (char c : token) {
    unsigned char u = static_cast<unsigned char>(c);
    if (!(std::isalnum(u) || c == '+' || c == '/' || c == '=')) return false;
  }
  return true;
}

}  // namespace

const char* RelayStatusText(int status) {
  switch (status) {
    case kRelayConnected:
      return "connected";
    case kRelayBadRequest:
      return "bad request";
    case kRelayBadToken:
      return "bad token";
    case kRelayUnreachable:
      return "target unreachable";
    case kRelayForbidden:
      return "target not allowed";
    default:
      return "unknown status";
  }
}

size_t FindHeaderEnd(std::string_view data) {
  size_t crlf = data.find("\r\n\r\n");
  size_t lf = data.find("\n\n");
  size_t end = std::string_view::npos;
  if (crlf != std::string_view::npos) end = crlf + 4;
  if (lf != std::string_view::npos && (end == std::string_view::npos || lf + 2 < end)) end = lf + 2;
  return end;
}

int ParseRelayRequest(std::string_view header, RelayRequest& out) {
  out = RelayRequest{};
  size_t eol = header.find('\n');
  if (eol == std::string_view::npos) return kRelayBadRequest;
  std::string_view line = Trim(header.substr(0, eol));
  // "GET /velt-tunnel HTTP/1.1"
  size_t sp1 = line.find(' ');
  size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos) return kRelayBadRequest;
  if (line.substr(0, sp1) != "GET" || line.substr(sp1 + 1, sp2 - sp1 - 1) != kRelayPath ||
      line.substr(sp2 + 1, 7) != "HTTP/1." || line.size() != sp2 + 9) {
    return kRelayBadRequest;
  }

  bool upgrade = false;
  bool have_port = false;
  std::string_view rest = header.substr(eol + 1);
  while (!rest.empty()) {
    eol = rest.find('\n');
    std::string_view raw = rest.substr(0, eol);
    rest = eol == std::string_view::npos ? std::string_view{} : rest.substr(eol + 1);
    std::string_view field = Trim(raw);
    if (field.empty()) break;
    size_t colon = field.find(':');
    if (colon == std::string_view::npos) return kRelayBadRequest;
    std::string_view name = Trim(field.substr(0, colon));
    std::string_view value = Trim(field.substr(colon + 1));
    if (EqualsNoCase(name, "Upgrade")) {
      upgrade = EqualsNoCase(value, kRelayUpgrade);
    } else if (EqualsNoCase(name, "X-Target-Host")) {
      if (!ValidHost(value)) return kRelayBadRequest;
      out.target_host.assign(value);
    } else if (EqualsNoCase(name, "X-Target-Port")) {
      int port = 0;
      auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), port);
      if (ec != std::errc() || end != value.data() + value.size() || port < 1 || port > 65535) {
        return kRelayBadRequest;
      }
      out.target_port = port;
      have_port = true;
    } else if (EqualsNoCase(name, "X-AuthToken")) {
      if (!ValidToken(value)) return kRelayBadRequest;
      out.token.assign(value);
    }
  }
  if (!upgrade || out.target_host.empty() || !have_port || out.token.empty()) return kRelayBadRequest;
  return kRelayConnected;
}

bool RelayTokenMatches(const RelayRequest& request) {
  std::string plain;
  if (!ReadTunnelToken(request.token, plain)) return false;
  return plain == request.target_host + ":" + std::to_string(request.target_port);
}

std::string FormatRelayResponse(int status) {
  char line[64];
  std::snprintf(line, sizeof line, "X-Target-Status: %d\r\n", status);
  if (status == kRelayConnected) {
    return std::string("HTTP/1.1 101 Switching Protocols\r\nUpgrade: ") + std::string(kRelayUpgrade) +
           "\r\nConnection: Upgrade\r\n" + line + "\r\n";
  }
  const char* head = "HTTP/1.1 400 Bad Request\r\n";
  if (status == kRelayBadToken || status == kRelayForbidden) head = "HTTP/1.1 403 Forbidden\r\n";
  if (status == kRelayUnreachable) head = "HTTP/1.1 502 Bad Gateway\r\n";
  return std::string(head) + line + "Connection: close\r\n\r\n";
}

}  // namespace tidewell
