// tidewell-relay: the relay service that TunnelChannel clients connect to.
// See `tidewell-relay --help` and docs/relay-tunnel.md.

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "base/log.h"
#include "relay/relay_log.h"
#include "relay/relay_server.h"

namespace {

constexpr const char* kUsage =
    "Usage: tidewell-relay --cert FILE --key FILE [options]\n"
    "\n"
    "Relay service for Tidewell clients that cannot reach their server directly.\n"
    "A client connects with SSL, asks for a target with a tunnel request carrying\n"
    "a token; the relay connects to the target, answers \"X-Target-Status: 0\" and\n"
    "from then on forwards raw bytes both ways until either side closes.\n"
    "\n"
    "Required:\n"
    "  --cert FILE              PEM certificate (chain) presented to clients\n"
    "  --key FILE               PEM private key of the certificate\n"
    "\n"
    "Options:\n"
    "  --listen ADDR            numeric address to listen on (default 0.0.0.0)\n"
    "  --port N                 port to listen on (default 7443; 0 = any free port)\n"
    "  --allow HOST:PORT        serve this target; HOST:* allows any port of HOST;\n"
    "                           repeat for several. Without it (and without\n"
    "                           --allow-any) every tunnel is refused\n"
    "  --allow-any              serve any target, loopback and private addresses\n"
    "                           included: an open proxy for whoever reaches the\n"
    "                           relay, since the token is no authentication\n"
    "  --max-tunnels N          concurrent tunnels; more are closed at once (default 1024)\n"
    "  --handshake-timeout S    seconds for SSL handshake and request (default 30)\n"
    "  --connect-timeout S      seconds to connect to a target (default 20)\n"
    "  --idle-timeout S         end a tunnel after S seconds without traffic\n"
    "                           (default 0 = never)\n"
    "  --log FILE               append the log to FILE, rotated at 1 MiB (default:\n"
    "                           standard error)\n"
    "  --log-level FILE         log-level file (\"relay_debug = 7\" and the like);\n"
    "                           default: one line per tunnel and every problem\n"
    "  --verbose                also log debug lines\n"
    "  --help                   show this text and exit\n"
    "\n"
    "The service runs in the foreground until SIGTERM or SIGINT, then ends every\n"
    "tunnel and exits with status 0. Exit status 1: bad command line; 2: the\n"
    "service could not start (certificate, key or address).\n";

bool ParseNumber(std::string_view text, unsigned long long max, unsigned long long& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size() && out <= max;
}

int Fail(const char* what, const char* arg) {
  std::fprintf(stderr, "tidewell-relay: %s%s%s\nTry 'tidewell-relay --help'.\n", what, arg ? ": " : "",
               arg ? arg : "");
  return 1;
}

// The default level table lives in an anonymous in-memory file, so the
// logger reads it like any level file.
std::string DefaultLevelFile(bool verbose, int& fd) {
  fd = memfd_create("tidewell-relay-levels", MFD_CLOEXEC);
  if (fd < 0) return {};
  std::string line = std::string("relay_debug = ") + (verbose ? "7" : "6") + "\nchannel_debug = 4\n";
  if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return {};
  return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace

int main(int argc, char** argv) {
  using tidewell::Logger;
  tidewell::RelayServer::Options options;
  std::string log_file;
  std::string level_file;
  bool verbose = false;

  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--verbose") {
      verbose = true;
      continue;
    }
    if (arg == "--allow-any") {
      options.allow_any = true;
      continue;
    }
    if (i + 1 >= argc) return Fail("missing value for", argv[i]);
    const char* value = argv[++i];
    unsigned long long n = 0;
    if (arg == "--cert") {
      options.cert_file = value;
    } else if (arg == "--key") {
      options.key_file = value;
    } else if (arg == "--listen") {
      options.listen_address = value;
    } else if (arg == "--port") {
      if (!ParseNumber(value, 65535, n)) return Fail("bad port", value);
      options.port = static_cast<int>(n);
    } else if (arg == "--allow") {
      std::string_view allow = value;
      size_t colon = allow.rfind(':');
      unsigned long long port = 0;
      if (colon == std::string_view::npos || colon == 0 ||
          (allow.substr(colon + 1) != "*" && !ParseNumber(allow.substr(colon + 1), 65535, port))) {
        return Fail("--allow wants HOST:PORT or HOST:*", value);
      }
      options.allowed_targets.emplace_back(value);
    } else if (arg == "--max-tunnels") {
      if (!ParseNumber(value, 1000000, n) || n == 0) return Fail("bad tunnel limit", value);
      options.max_tunnels = static_cast<size_t>(n);
    } else if (arg == "--handshake-timeout" || arg == "--connect-timeout" || arg == "--idle-timeout") {
      if (!ParseNumber(value, 86400 * 365, n)) return Fail("bad number of seconds", value);
      uint32_t s = static_cast<uint32_t>(n);
      if (arg == "--handshake-timeout") options.handshake_seconds = s;
      if (arg == "--connect-timeout") options.connect_seconds = s;
      if (arg == "--idle-timeout") options.idle_seconds = s;
    } else if (arg == "--log") {
      log_file = value;
    } else if (arg == "--log-level") {
      level_file = value;
    } else {
      return Fail("unknown option", argv[i - 1]);
    }
  }
  if (options.cert_file.empty() || options.key_file.empty()) return Fail("--cert and --key are required", nullptr);
  if (options.allow_any && !options.allowed_targets.empty()) {
    return Fail("--allow-any and --allow exclude each other", nullptr);
  }

  int level_fd = -1;
  if (level_file.empty()) level_file = DefaultLevelFile(verbose, level_fd);
  Logger::Type type = log_file.empty() ? Logger::STDERR_LOGGER : Logger::FILE_LOGGER;
  if (Logger::Initialize(type, tidewell::ustring(log_file), tidewell::ustring(level_file), 10) < 0) {
    std::fprintf(stderr, "tidewell-relay: cannot open the log file %s\n", log_file.c_str());
    return 2;
  }
  if (level_fd >= 0) close(level_fd);

  // Termination requests are taken by sigwait below; every thread started
  // from here on inherits the blocked mask. Vanished peers give EPIPE.
  signal(SIGPIPE, SIG_IGN);
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  tidewell::RelayServer server(options);
  if (server.Start() < 0) {
    std::fprintf(stderr, "tidewell-relay: cannot start; see the log\n");
    return 2;
  }
  int sig = 0;
  while (sigwait(&stop_signals, &sig) != 0) {
  }
  RELAY_LOG_NOTE("%s received, stopping (%zu tunnels open)", strsignal(sig), server.active_tunnels());
  server.Stop();
  Logger::Destroy();
  return 0;
}
