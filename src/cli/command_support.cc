#include "cli/command_support.h"

#include <chrono>
#include <ostream>
#include <thread>

#include "base/error_code.h"
#include "cli/control_client.h"
#include "net/channel.h"
#include "net/pstream.h"

namespace tidewell::cli {

int Fail(const Context& c, const std::string& reason, const std::string& hint) {
  *c.err << "tidewell: " << reason << "\n";
  if (!hint.empty()) *c.err << "  hint: " << hint << "\n";
  return 1;
}

std::string Pretty(const Context& c, const std::string& folder) {
  if (!c.home.empty() && c.home != "/" && (folder == c.home || folder.rfind(c.home + "/", 0) == 0)) {
    return "~" + folder.substr(c.home.size());
  }
  return folder;
}

std::optional<ConnectionSettings> RequireConnection(const Context& c) {
  ConnectionSettings s;
  std::string error;
  int rc = LoadConnection(c.paths, s, error);
  if (rc == 1) return s;
  if (rc == 0) Fail(c, "no server yet", "run `tidewell login HOST[:PORT] --token T` first");
  else Fail(c, error);
  return std::nullopt;
}

std::optional<std::vector<SessionRecord>> RequireSessions(const Context& c) {
  std::vector<SessionRecord> sessions;
  std::string error;
  if (LoadSessions(c.paths, sessions, error) != 0) {
    Fail(c, error);
    return std::nullopt;
  }
  return sessions;
}

std::optional<SessionRecord> RequireSession(const Context& c, const std::vector<SessionRecord>& sessions,
                                            const std::string& dir) {
  const std::string folder = CanonicalFolder(dir);
  auto s = FindSession(sessions, folder);
  if (!s) {
    std::string known;
    for (const SessionRecord& r : sessions) known += (known.empty() ? "" : ", ") + Pretty(c, r.folder);
    Fail(c, "'" + Pretty(c, folder) + "' is not a synchronised folder",
         known.empty() ? "add it with `tidewell add " + dir + "`" : "synchronised folders: " + known);
  }
  return s;
}

int FindInstance(const Context& c, RuntimeInfo& info) {
  // An instance that is starting writes its file within moments.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    int rc = ReadRuntimeInfo(c.paths, info);
    if (rc == 0) return 0;
    if (rc == 1 && info.ready && info.daemon_port > 0) return 1;
    if (std::chrono::steady_clock::now() > deadline) {
      Fail(c, "tidewell is running but not ready", "see `tidewell log --instance`");
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

int AskInstance(const RuntimeInfo& info, const std::string& action, PObject& reply, std::string& error) {
  Channel ch;
  ch.SetTimeout(600);
  if (ch.Open("127.0.0.1", info.ui_port) != ERR_OK) {
    error = "the running tidewell does not answer on port " + std::to_string(info.ui_port);
    return -1;
  }
  PObject req;
  req["action"] = action;
  PStream ps;
  reply.clear();
  if (ps.Send(ch, req) != kStreamOk || ps.Recv(ch, reply) != kStreamOk) {
    error = "the running tidewell did not answer";
    return -1;
  }
  return 0;
}

int TellDaemon(const RuntimeInfo& info, PObject request, PObject* reply, std::string& error) {
  PObject local;
  if (reply == nullptr) reply = &local;
  if (SendControl(info.daemon_port, request, reply, 600, error) != 0) return -1;
  error = ControlError(*reply);
  return error.empty() ? 0 : -1;
}

}  // namespace tidewell::cli
