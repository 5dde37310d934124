#include "platform/ipv4_resolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace tidewell {

int ResolveIPv4(const std::string& host, std::string& address, std::string& error) {
  if (host.empty()) {
    error = "no host name given";
    return -1;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    error = rc != 0 ? gai_strerror(rc) : "no IPv4 address";
    return -1;
  }
  char text[INET_ADDRSTRLEN];
  const auto* sa = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  const bool ok = inet_ntop(AF_INET, &sa->sin_addr, text, sizeof text) != nullptr;
  freeaddrinfo(found);
  if (!ok) {
    error = "cannot print the address";
    return -1;
  }
  address = text;
  return 0;
}

}  // namespace tidewell
