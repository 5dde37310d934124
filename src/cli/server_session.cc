#include "cli/server_session.h"

#include <chrono>

#include "base/error_code.h"
#include "net/connection_handshake.h"
#include "net/protocol.h"
#include "net/protocol_request.h"
#include "platform/ipv4_resolve.h"

namespace tidewell::cli {

namespace {

constexpr uint32_t kConnectTimeout = 15;

std::string Where(const ConnectionSettings& s) { return s.host + ":" + std::to_string(s.port); }

ServerProblem Problem(ServerFailure kind, std::string reason, std::string hint) {
  return ServerProblem{kind, std::move(reason), std::move(hint)};
}

// The handshake routine of the server event puller: it logs under the
// puller's names and waits for replies across keep-alives.
const ConnectionHandshake& Handshake() {
  static const ConnectionHandshake hs(HandshakeTask::kEventPuller);
  return hs;
}

int RunRequest(Channel& ch, uint8_t command, const PObject& request, PObject& reply) {
  return Handshake().RunProtocol(ch, command, request, reply);
}

// Opens TCP to the resolved address. 0, or -1 with `problem`.
int OpenTcp(ServerChannel& ch, const ConnectionSettings& s, const std::string& ip, ServerProblem& problem) {
  ch.SetTimeout(kConnectTimeout);
  const auto start = std::chrono::steady_clock::now();
  if (ch.Open(ip.c_str(), s.port) == ERR_OK) return 0;
  const bool quick = std::chrono::steady_clock::now() - start < std::chrono::seconds(2);
  problem = Problem(ServerFailure::kUnreachable,
                    "cannot reach " + Where(s) + (quick ? ": the connection was refused" : ": no answer"),
                    "check the address and port, and that tidewell-server runs there");
  return -1;
}

// Asks for SSL and converts. 0, or -1 with `problem` (kNoSsl, kSslFailed,
// kProtocol; a failed conversion is classified by the caller).
int StartSsl(ServerChannel& ch, const ConnectionSettings& s, ServerProblem& problem, bool& convert_failed) {
  convert_failed = false;
  PObject req;
  req["_action"] = "encrypt_channel";
  ConnectionHandshake::AppendAgent(req);
  PObject reply;
  if (RunRequest(ch, SCMD_REQUEST_SSL_2, req, reply) < 0) {
    problem = Problem(ServerFailure::kProtocol, Where(s) + " closed the connection when asked for SSL",
                      "check that this is a tidewell server");
    return -1;
  }
  if (reply.hasMember("error")) {
    problem = Problem(ServerFailure::kNoSsl, Where(s) + " does not offer SSL",
                      "log in without --ssl, or give the server a certificate");
    return -1;
  }
  if (ch.ConvertToSSLChannel(false) != ERR_OK) {
    convert_failed = true;
    return -1;
  }
  return 0;
}

}  // namespace

ServerSession::~ServerSession() { Close(); }

void ServerSession::Close() {
  if (channel_) channel_->Close();
  channel_.reset();
}

int ServerSession::Open(const ConnectionSettings& settings, uint64_t view, ServerProblem& problem) {
  Close();
  settings_ = settings;
  view_ = view;
  std::string ip, why;
  if (ResolveIPv4(settings.host, ip, why) != 0) {
    problem = Problem(ServerFailure::kBadAddress, "cannot resolve '" + settings.host + "': " + why,
                      "check the host name (an IPv4 address works too)");
    return -1;
  }
  channel_ = std::make_unique<ServerChannel>();
  channel_->SetCaFile(settings.ca_file);
  if (OpenTcp(*channel_, settings, ip, problem) != 0) return -1;
  if (settings.use_ssl) {
    bool convert_failed = false;
    if (StartSsl(*channel_, settings, problem, convert_failed) != 0) {
      if (!convert_failed) return -1;
      // Tell a refused certificate from a broken handshake: try once more
      // without the CA check, sending nothing secret.
      bool refused = false;
      if (!settings.ca_file.empty()) {
        ServerChannel probe;
        ServerProblem ignored;
        bool failed_again = false;
        refused = OpenTcp(probe, settings, ip, ignored) == 0 && StartSsl(probe, settings, ignored, failed_again) == 0;
        probe.Close();
      }
      problem = refused ? Problem(ServerFailure::kCertificateRefused,
                                  "the certificate of " + Where(settings) + " is not signed by '" +
                                      settings.ca_file + "'",
                                  "give --ca-file the certificate (or its CA) that the server uses")
                        : Problem(ServerFailure::kSslFailed, "the SSL handshake with " + Where(settings) + " failed",
                                  "check that the server's certificate and key are valid; details in the log");
      Close();
      return -1;
    }
  }
  PObject req;
  req["_action"] = "connect";
  req["session"] = settings.token;
  req["view_id"] = static_cast<unsigned long long>(view);
  ConnectionHandshake::AppendAgent(req);
  PObject reply;
  if (RunRequest(*channel_, SCMD_REQUEST_CONNECT, req, reply) < 0) {
    problem = Problem(ServerFailure::kProtocol, Where(settings) + " closed the connection during the handshake",
                      settings.use_ssl ? "check that this is a tidewell server"
                                       : "check that this is a tidewell server; if it wants SSL, add --ssl");
    Close();
    return -1;
  }
  if (reply.hasMember("error")) {
    const int code = Handshake().ProtoResp2ErrorCode(reply["error"]["code"].asUInt64());
    if (code == ERR_AUTH) {
      problem = Problem(ServerFailure::kWrongToken, "the server does not accept this token",
                        "ask the server's administrator for a token (tidewell-server token new)");
    } else if (code == ERR_VIEW) {
      problem = Problem(ServerFailure::kWrongView,
                        "view " + std::to_string(view) + " does not exist or belongs to another user",
                        "give the view number of your folder on the server with --view");
    } else if (code == ERR_VERSION) {
      problem = Problem(ServerFailure::kVersion, "the server refuses this client's version",
                        "update tidewell or the server so that both speak the same protocol");
    } else {
      problem = Problem(ServerFailure::kProtocol, "the server refused the connection: " +
                                                      std::string(reply["error"].toString().c_str_utf8()),
                        "see the server's log");
    }
    Close();
    return -1;
  }
  if (reply["alive"].asUInt32() == 0) {
    problem = Problem(ServerFailure::kProtocol, "the server accepted the token but closed the connection",
                      "see the server's log");
    Close();
    return -1;
  }
  return 0;
}

int ServerSession::Exchange(uint8_t command, PObject& request, PObject& reply, ServerProblem& problem) {
  if (!channel_) {
    problem = Problem(ServerFailure::kServerError, "not connected", "");
    return -1;
  }
  request["session"] = settings_.token;
  request["view_id"] = static_cast<unsigned long long>(view_);
  ConnectionHandshake::AppendAgent(request);
  if (RunRequest(*channel_, command, request, reply) < 0) {
    problem = Problem(ServerFailure::kServerError, "the connection to " + Where(settings_) + " broke",
                      "try again; details in the log");
    return -1;
  }
  if (reply.hasMember("error")) {
    problem = Problem(ServerFailure::kServerError, "the server answered " + std::string(reply["error"].toString().c_str_utf8()),
                      "see the server's log");
    return -1;
  }
  return 0;
}

int ServerSession::ListTree(const std::string& remote_path, std::map<std::string, ServerObject>& out,
                            ServerProblem& problem) {
  out.clear();
  uint64_t since = 0;
  for (;;) {
    PObject req;
    req["_action"] = "pull_event";
    req["sync_id"] = static_cast<unsigned long long>(since);
    req["path"] = remote_path;
    req["recursive"] = 1;
    PObject reply;
    if (Exchange(SCMD_EVT_PULL, req, reply, problem) != 0) return -1;
    const PObject& events = reply["event_list"];
    if (events.size() == 0) return 0;
    for (const PObject& e : events.asArray()) {
      std::string path = e["path"].asStringRef().c_str_utf8();
      if (path.empty() || path[0] != '/') path = "/" + path;
      if (e["is_removed"].asUInt32() != 0) {
        // The path and everything below it are gone.
        out.erase(path);
        const std::string below = path + "/";
        auto it = out.lower_bound(below);
        while (it != out.end() && it->first.rfind(below, 0) == 0) it = out.erase(it);
        continue;
      }
      ServerObject o;
      o.is_dir = e["is_dir"].asUInt32() != 0;
      o.sync_id = e["sync_id"].asUInt64();
      if (!o.is_dir) {
        o.size = e["file"]["size"].asUInt64();
        o.hash = e["file"]["hash"].asStringRef().c_str_utf8();
      }
      out[path] = o;
    }
    const uint64_t next = reply["next_sync_id"].asUInt64();
    if (next <= since) return 0;  // a server that does not move on: stop rather than loop
    since = next;
  }
}

}  // namespace tidewell::cli
