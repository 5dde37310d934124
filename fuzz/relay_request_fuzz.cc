// Feeds arbitrary bytes to what the relay service reads from a client: the
// header block of the tunnel request and, inside it, the base64 token
// record. Parsing must never crash or read out of bounds; a request that
// parses must carry a host and port in range and a token of base64 text.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/tunnel_crypto.h"
#include "relay/relay_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t end = tidewell::FindHeaderEnd(input);
  if (end != std::string_view::npos && end > size) std::abort();
  tidewell::RelayRequest request;
  if (tidewell::ParseRelayRequest(input.substr(0, end == std::string_view::npos ? size : end), request) ==
      tidewell::kRelayConnected) {
    if (request.target_host.empty() || request.target_port < 1 || request.target_port > 65535) std::abort();
    (void)tidewell::RelayTokenMatches(request);
  }
  // The token record on its own, raw and as base64 text.
  uint8_t plain[4096];
  size_t n = tidewell::VELTCryptoDecrypt(plain, sizeof plain, data, size);
  if (n > sizeof plain) std::abort();
  std::string text;
  (void)tidewell::ReadTunnelToken(std::string(input), text);
  return 0;
}
