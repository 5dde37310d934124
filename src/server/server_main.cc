// tidewell-server: the reference sync server. See `tidewell-server --help`,
// docs/server-protocol.md and docs/server-store.md.

#include <pwd.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/log.h"
#include "server/admin.h"
#include "server/server.h"
#include "server/server_log.h"

namespace {

constexpr const char* kUsage =
    "Usage: tidewell-server COMMAND --data DIR [options]\n"
    "\n"
    "The reference sync server of Tidewell: accounts, views and a versioned\n"
    "content store, serving the daemon's requests over TCP (SSL offered).\n"
    "\n"
    "Commands:\n"
    "  init --data DIR [--user NAME] [--json]\n"
    "        create the store, a self-signed certificate, a user (default: the\n"
    "        login name) with the view \"home\"; prints session=<token> and\n"
    "        view_id=<n> (a JSON object with --json)\n"
    "  serve --data DIR [--listen ADDR:PORT] [--max-connections N]\n"
    "        [--quota BYTES] [--cert FILE --key FILE] [--alive SECONDS]\n"
    "        [--log FILE] [--log-level FILE] [--verbose] [--no-pull-wait]\n"
    "        serve until SIGTERM or SIGINT (default 127.0.0.1:6690; port 0 picks\n"
    "        a free one); prints \"listening ADDR:PORT\" once ready;\n"
    "        --no-pull-wait answers every pull at once, as servers did before\n"
    "        pulls could wait for a change\n"
    "  user add --data DIR --user NAME [--quota BYTES] [--json]\n"
    "        add a user with a view \"home\" and a session token\n"
    "  view add --data DIR --user NAME --name VIEW [--json]\n"
    "        add a view to a user\n"
    "  token new --data DIR --user NAME [--json]\n"
    "        issue another session token for a user\n"
    "\n"
    "Session tokens are shown once and stored only as their SHA-256.\n"
    "Exit status: 0 done; 1 bad command line; 2 the command failed.\n";

int Usage(const char* what, const char* arg) {
  std::fprintf(stderr, "tidewell-server: %s%s%s\nTry 'tidewell-server --help'.\n", what, arg ? ": " : "",
               arg ? arg : "");
  return 1;
}

bool ParseNumber(std::string_view text, unsigned long long max, unsigned long long& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size() && out <= max;
}

std::string LoginName() {
  struct passwd* pw = getpwuid(getuid());
  if (pw != nullptr && pw->pw_name != nullptr) return pw->pw_name;
  const char* user = getenv("USER");
  return user != nullptr ? user : "user";
}

// Text between double quotes, escaped for JSON.
std::string JsonString(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof(buf), "\\u%04x", c);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void PrintResult(const tidewell::server::AdminResult& r, bool json, bool with_session) {
  if (json) {
    std::printf("{\"user\": %s, ", JsonString(r.user).c_str());
    if (with_session) std::printf("\"session\": %s, ", JsonString(r.session).c_str());
    std::printf("\"view_id\": %llu}\n", static_cast<unsigned long long>(r.view_id));
    return;
  }
  if (with_session) std::printf("session=%s\n", r.session.c_str());
  std::printf("view_id=%llu\n", static_cast<unsigned long long>(r.view_id));
}

// The default level table: one line per request and every problem.
std::string DefaultLevelFile(bool verbose, int& fd) {
  fd = memfd_create("tidewell-server-levels", MFD_CLOEXEC);
  if (fd < 0) return {};
  std::string text = std::string("server_debug = ") + (verbose ? "7" : "6") + "\n";
  if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return {};
  return "/proc/self/fd/" + std::to_string(fd);
}

int Serve(tidewell::server::ServerOptions options, const std::string& log_file, std::string level_file, bool verbose) {
  using tidewell::Logger;
  int level_fd = -1;
  if (level_file.empty()) level_file = DefaultLevelFile(verbose, level_fd);
  Logger::Type type = log_file.empty() ? Logger::STDERR_LOGGER : Logger::FILE_LOGGER;
  if (Logger::Initialize(type, tidewell::ustring(log_file), tidewell::ustring(level_file), 10) < 0) {
    std::fprintf(stderr, "tidewell-server: cannot open the log file %s\n", log_file.c_str());
    return 2;
  }
  if (level_fd >= 0) close(level_fd);

  // Stop requests are taken by sigwait below; every thread started from
  // here on inherits the blocked mask. Vanished peers give EPIPE.
  signal(SIGPIPE, SIG_IGN);
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  tidewell::server::Server server(options);
  if (server.Start() != 0) {
    std::fprintf(stderr, "tidewell-server: cannot start; see the log\n");
    return 2;
  }
  std::printf("listening %s:%d\n", options.listen_address.c_str(), server.port());
  std::fflush(stdout);
  int sig = 0;
  while (sigwait(&stop_signals, &sig) != 0) {
  }
  SRV_LOG_NOTE("%s received, stopping", strsignal(sig));
  server.Stop();
  SRV_LOG_NOTE("stopped");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("no command", nullptr);
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::string command(args[0]);
  size_t first = 1;
  if ((command == "user" || command == "view" || command == "token") && args.size() > 1) {
    command += " " + std::string(args[1]);
    first = 2;
  }

  tidewell::server::ServerOptions options;
  std::string user;
  std::string view_name;
  std::string log_file;
  std::string level_file;
  uint64_t user_quota = 0;
  bool json = false;
  bool verbose = false;
  for (size_t i = first; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg == "--json") {
      json = true;
      continue;
    }
    if (arg == "--verbose") {
      verbose = true;
      continue;
    }
    if (arg == "--no-pull-wait") {
      options.pull_wait = false;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= args.size()) return Usage("missing value for", std::string(arg).c_str());
    std::string value(args[++i]);
    unsigned long long n = 0;
    if (arg == "--data") {
      options.data_dir = value;
    } else if (arg == "--user") {
      user = value;
    } else if (arg == "--name") {
      view_name = value;
    } else if (arg == "--listen") {
      size_t colon = value.rfind(':');
      if (colon == std::string::npos || !ParseNumber(std::string_view(value).substr(colon + 1), 65535, n)) {
        return Usage("--listen wants ADDR:PORT", value.c_str());
      }
      options.listen_address = value.substr(0, colon);
      options.port = static_cast<int>(n);
    } else if (arg == "--max-connections") {
      if (!ParseNumber(value, 100000, n) || n == 0) return Usage("bad connection limit", value.c_str());
      options.max_connections = static_cast<size_t>(n);
    } else if (arg == "--quota") {
      if (!ParseNumber(value, UINT64_MAX, n)) return Usage("bad quota", value.c_str());
      options.quota = n;
      user_quota = n;
    } else if (arg == "--alive") {
      if (!ParseNumber(value, 86400, n) || n == 0) return Usage("bad number of seconds", value.c_str());
      options.alive_seconds = static_cast<uint32_t>(n);
    } else if (arg == "--cert") {
      options.cert_file = value;
    } else if (arg == "--key") {
      options.key_file = value;
    } else if (arg == "--log") {
      log_file = value;
    } else if (arg == "--log-level") {
      level_file = value;
    } else {
      return Usage("unknown option", std::string(arg).c_str());
    }
  }
  if (options.data_dir.empty()) return Usage("--data DIR is required", nullptr);
  if (options.cert_file.empty() != options.key_file.empty()) return Usage("--cert and --key go together", nullptr);

  tidewell::server::AdminResult result;
  std::string error;
  int rc = 0;
  bool with_session = true;
  if (command == "serve") {
    return Serve(options, log_file, level_file, verbose);
  } else if (command == "init") {
    rc = tidewell::server::InitStore(options.data_dir, user.empty() ? LoginName() : user, result, error);
  } else if (command == "user add") {
    if (user.empty()) return Usage("--user NAME is required", nullptr);
    rc = tidewell::server::AddUserCommand(options.data_dir, user, user_quota, result, error);
  } else if (command == "view add") {
    if (user.empty() || view_name.empty()) return Usage("--user NAME and --name VIEW are required", nullptr);
    rc = tidewell::server::AddViewCommand(options.data_dir, user, view_name, result, error);
    with_session = false;
  } else if (command == "token new") {
    if (user.empty()) return Usage("--user NAME is required", nullptr);
    rc = tidewell::server::NewTokenCommand(options.data_dir, user, result, error);
  } else {
    return Usage("unknown command", command.c_str());
  }
  if (rc != 0) {
    std::fprintf(stderr, "tidewell-server: %s: %s\n", command.c_str(), error.c_str());
    return 2;
  }
  PrintResult(result, json, with_session);
  return 0;
}
