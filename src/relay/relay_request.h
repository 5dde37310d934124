// The relay's side of the tunnel handshake: reading the client's upgrade
// request and writing the answer that carries "X-Target-Status". The byte
// format is described in docs/relay-tunnel.md.
//
// Thread-safe: plain functions over values.

#ifndef TIDEWELL_RELAY_RELAY_REQUEST_H_
#define TIDEWELL_RELAY_RELAY_REQUEST_H_

#include <string>
#include <string_view>

namespace tidewell {

// Statuses a relay reports in "X-Target-Status".
enum RelayStatus : int {
  kRelayConnected = 0,    // the target is connected; raw bytes follow
  kRelayBadRequest = 1,   // the request is not a tunnel request
  kRelayBadToken = 2,     // the token is missing, malformed or not for this target
  kRelayUnreachable = 3,  // the target cannot be resolved or connected
  kRelayForbidden = 4,    // the relay does not serve this target
};

// Short text of a status for log lines.
const char* RelayStatusText(int status);

// The path and upgrade token of the tunnel request.
inline constexpr std::string_view kRelayPath = "/velt-tunnel";
inline constexpr std::string_view kRelayUpgrade = "VeltronaTunnel";

// Largest request header a relay accepts, in bytes.
inline constexpr size_t kRelayMaxRequest = 8192;

struct RelayRequest {
  std::string target_host;
  int target_port = 0;
  std::string token;  // base64, as sent
};

// Position just past the blank line that ends a header block in `data`
// (CR LF CR LF, or LF LF), or std::string::npos when it has not arrived yet.
size_t FindHeaderEnd(std::string_view data);

// Parses a complete request header block. Returns kRelayConnected with
// `out` filled when the request line is "GET /velt-tunnel HTTP/1.x", the
// upgrade is VeltronaTunnel and host, port and token are present and
// well-formed (header names in any letter case); kRelayBadRequest
// otherwise. The token is not checked here.
int ParseRelayRequest(std::string_view header, RelayRequest& out);

// True when the token decrypts to exactly "host:port" of the request.
bool RelayTokenMatches(const RelayRequest& request);

// The answer for `status`: a 101 response for kRelayConnected, an error
// response otherwise, each with "X-Target-Status" and ending in a blank line.
std::string FormatRelayResponse(int status);

}  // namespace tidewell

#endif  // TIDEWELL_RELAY_RELAY_REQUEST_H_
