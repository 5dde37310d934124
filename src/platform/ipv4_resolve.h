// Turning a host name into the dotted IPv4 address the channels connect to.

#ifndef TIDEWELL_PLATFORM_IPV4_RESOLVE_H_
#define TIDEWELL_PLATFORM_IPV4_RESOLVE_H_

#include <string>

namespace tidewell {

// Looks `host` up (a dotted address is taken as it is) and stores the first
// IPv4 address in `address`. Returns 0, or -1 with `error` holding the
// resolver's reason. May block for as long as the system resolver does.
[[nodiscard]] int ResolveIPv4(const std::string& host, std::string& address, std::string& error);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_IPV4_RESOLVE_H_
