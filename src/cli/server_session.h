// A conversation of the front end with the sync server, outside the
// daemon: `tidewell login` checks the stored connection with the same
// handshake the daemon runs (TCP, SSL when asked for, the "connect"
// request with the token and a view), and `tidewell verify` lists what the
// server holds by pulling a session's folder from sync id 0.
//
// When the handshake fails, the failure says in one line what went wrong
// and what to try: an address that does not resolve or answer, a server
// without SSL, a certificate the CA file does not vouch for, a token or a
// view the server does not know.
//
// Not thread-safe; one thread uses an object.

#ifndef TIDEWELL_CLI_SERVER_SESSION_H_
#define TIDEWELL_CLI_SERVER_SESSION_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "cli/store.h"
#include "net/pobject.h"
#include "net/server_channel.h"

namespace tidewell::cli {

enum class ServerFailure {
  kNone,
  kBadAddress,          // the host does not resolve
  kUnreachable,         // nothing answers at host:port
  kNoSsl,               // SSL asked for, the server cannot do it
  kCertificateRefused,  // the CA file does not vouch for the server
  kSslFailed,           // the SSL handshake itself failed
  kWrongToken,          // the server does not know the token
  kWrongView,           // the view is unknown or not the token's user's
  kVersion,             // the server refuses this client's version
  kProtocol,            // the peer does not answer as a sync server does
  kServerError,         // a request after the handshake failed
};

struct ServerProblem {
  ServerFailure kind = ServerFailure::kNone;
  std::string reason;  // one line: what went wrong
  std::string hint;    // one line: what to try
};

// One object of a server listing.
struct ServerObject {
  bool is_dir = false;
  uint64_t size = 0;
  std::string hash;  // MD4 in lower-case hex; empty for folders
  uint64_t sync_id = 0;
};

class ServerSession {
 public:
  ServerSession() = default;
  ~ServerSession();
  ServerSession(const ServerSession&) = delete;
  ServerSession& operator=(const ServerSession&) = delete;

  // Connects and runs the handshake for `view`. 0, or -1 with `problem`.
  [[nodiscard]] int Open(const ConnectionSettings& settings, uint64_t view, ServerProblem& problem);

  // Lists every live object below `remote_path` of the view, by path
  // relative to it ("/a/b.txt"): pulls from sync id 0 and applies the pages
  // in order (later states replace earlier ones, removals drop a path and
  // everything below it). 0, or -1 with `problem`.
  [[nodiscard]] int ListTree(const std::string& remote_path, std::map<std::string, ServerObject>& out,
                             ServerProblem& problem);

  void Close();

 private:
  // Sends `request` (with the agent, the token and the view) and reads the
  // reply. 0, or -1 with `problem` (also for an "error" reply).
  int Exchange(uint8_t command, PObject& request, PObject& reply, ServerProblem& problem);

  std::unique_ptr<ServerChannel> channel_;
  ConnectionSettings settings_;
  uint64_t view_ = 0;
};

}  // namespace tidewell::cli

#endif  // TIDEWELL_CLI_SERVER_SESSION_H_
