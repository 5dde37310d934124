// login, add, remove, exclude and include: the commands that change what is
// stored, and tell a running instance about it.

#include <unistd.h>

#include <ostream>

#include "base/host_name.h"
#include "cli/command_support.h"
#include "cli/commands.h"
#include "cli/server_session.h"
#include "cli/session_rules.h"
#include "platform/dir_make.h"
#include "platform/file_remove.h"
#include "platform/file_stat.h"

namespace tidewell::cli {

namespace {

// A name for conflict copies: letters, digits and "-" only, so that the
// name of a copy can be read back unambiguously.
std::string CleanClientName(const std::string& raw) {
  std::string out;
  for (char ch : raw) {
    const bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '-';
    out += ok ? ch : '-';
  }
  return out.empty() ? "tidewell" : out.substr(0, 64);
}

bool Inside(const std::string& inner, const std::string& outer) {
  return inner == outer || outer == "/" || inner.rfind(outer + "/", 0) == 0;
}

// After a change of the stored sessions: let a running instance catch up.
void ReloadRunning(const Context& c) {
  RuntimeInfo info;
  if (FindInstance(c, info) != 1) return;
  PObject reply;
  std::string error;
  if (AskInstance(info, "front_end_reload", reply, error) != 0) {
    Fail(c, error, "restart with `tidewell stop` and `tidewell start`");
    return;
  }
  const std::string report = reply["report"].asStringRef().c_str_utf8();
  if (!report.empty()) *c.out << report << "\n";
}

}  // namespace

int ParseServerAddress(const std::string& text, std::string& host, int& port, std::string& error) {
  if (text.empty() || text[0] == '[') {
    error = "'" + text + "' is not HOST or HOST:PORT (IPv6 addresses are not supported)";
    return -1;
  }
  const size_t colon = text.rfind(':');
  host = text.substr(0, colon);
  port = kDefaultServerPort;
  if (colon != std::string::npos) {
    const std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(digits) < 1 || std::stoi(digits) > 65535) {
      error = "'" + digits + "' is not a port number (1 to 65535)";
      return -1;
    }
    port = std::stoi(digits);
  }
  if (host.empty() || host.find(':') != std::string::npos) {
    error = "'" + text + "' is not HOST or HOST:PORT";
    return -1;
  }
  return 0;
}

int CleanRemotePath(const std::string& remote, std::string& out, std::string& error) {
  out.clear();
  size_t at = 0;
  while (at <= remote.size()) {
    size_t next = remote.find('/', at);
    if (next == std::string::npos) next = remote.size();
    const std::string part = remote.substr(at, next - at);
    if (part == "." || part == "..") {
      error = "the server path '" + remote + "' may not hold '.' or '..'";
      return -1;
    }
    if (!part.empty()) out += "/" + part;
    at = next + 1;
  }
  if (out.empty()) out = "/";
  return 0;
}

int CmdLogin(const Context& c, const LoginOptions& o) {
  ConnectionSettings s;
  std::string error;
  if (ParseServerAddress(o.address, s.host, s.port, error) != 0) return Fail(c, error);
  if (o.token.empty()) return Fail(c, "no token given", "pass the token the server's administrator gave you: --token T");
  ConnectionSettings old;
  const bool had = LoadConnection(c.paths, old, error) == 1;
  s.token = o.token;
  s.view = o.view.value_or(had ? old.view : 1);
  s.use_ssl = o.ssl || !o.ca_file.empty();
  if (!o.ca_file.empty()) {
    s.ca_file = CanonicalFolder(o.ca_file);
    if (access(s.ca_file.c_str(), R_OK) != 0) {
      return Fail(c, "cannot read the CA file '" + o.ca_file + "'", "give the PEM file of the server's certificate or CA");
    }
  }
  s.connection_id = had ? old.connection_id : 1;
  std::string name = o.name;
  if (name.empty()) {
    ustring host;
    name = GetSysHostName(host) == 0 ? host.c_str_utf8() : "";
  }
  s.client_name = CleanClientName(name);

  ServerSession session;
  ServerProblem problem;
  if (session.Open(s, s.view, problem) != 0) {
    return Fail(c, "login failed: " + problem.reason, problem.hint);
  }
  session.Close();
  StoreLock lock(c.paths);
  if (!lock.ok()) return Fail(c, "another tidewell command is changing the settings; try again");
  if (SaveConnection(c.paths, s, error) != 0) return Fail(c, error);
  *c.out << "logged in to " << s.host << ":" << s.port << (s.use_ssl ? " over SSL" : "") << ", view " << s.view
         << "\n";
  RuntimeInfo info;
  if (ReadRuntimeInfo(c.paths, info) == 1) {
    *c.out << "tidewell is running with the old settings; restart it: tidewell stop && tidewell start\n";
  }
  return 0;
}

int CmdAdd(const Context& c, const std::string& dir, const std::string& remote, std::optional<uint64_t> view) {
  auto connection = RequireConnection(c);
  if (!connection) return 1;
  std::string remote_path, error;
  if (CleanRemotePath(remote, remote_path, error) != 0) return Fail(c, error);
  std::string folder = CanonicalFolder(dir);
  if (folder == "/") return Fail(c, "the root folder cannot be synchronised");
  for (const std::string* own : {&c.paths.config_dir, &c.paths.state_dir, &c.paths.runtime_dir}) {
    if (Inside(folder, *own) || Inside(*own, folder)) {
      return Fail(c, "'" + Pretty(c, folder) + "' overlaps tidewell's own folder '" + Pretty(c, *own) + "'");
    }
  }
  FILE_INFO info;
  if (FSStat(ustring(folder), info, false) != 0) return Fail(c, "cannot look at '" + folder + "'");
  if (!info.isExist) {
    if (FSMKDirP(ustring(folder)) != 0) return Fail(c, "cannot create the folder '" + folder + "'");
    folder = CanonicalFolder(folder);
    *c.out << "created " << Pretty(c, folder) << "\n";
  } else if (info.type != FT_DIR) {
    return Fail(c, "'" + Pretty(c, folder) + "' is not a folder");
  }

  StoreLock lock(c.paths);
  if (!lock.ok()) return Fail(c, "another tidewell command is changing the settings; try again");
  auto sessions = RequireSessions(c);
  if (!sessions) return 1;
  for (const SessionRecord& s : *sessions) {
    if (s.folder == folder) return Fail(c, "'" + Pretty(c, folder) + "' is already synchronised");
    if (Inside(folder, s.folder) || Inside(s.folder, folder)) {
      return Fail(c, "'" + Pretty(c, folder) + "' overlaps the synchronised folder '" + Pretty(c, s.folder) + "'",
                  "a folder can belong to one session only");
    }
  }
  SessionRecord s;
  s.id = NextSessionId(*sessions);
  s.folder = folder;
  s.remote_path = remote_path;
  s.view = view.value_or(connection->view);
  const std::string session_dir = c.paths.SessionDir(s.id);
  // Anything left under this id belongs to no session; a stale event
  // database would make the new session misread the folder.
  if (IsFileExist(ustring(session_dir), false)) (void)RemoveDirectoryRecursive(ustring(session_dir));
  if (CreateSessionFolder(session_dir, error) != 0) return Fail(c, error);
  sessions->push_back(s);
  if (SaveSessions(c.paths, *sessions, error) != 0) return Fail(c, error);
  *c.out << "added " << Pretty(c, folder) << " <-> view " << s.view << " " << s.remote_path << "\n";
  RuntimeInfo running;
  if (ReadRuntimeInfo(c.paths, running) == 0) {
    *c.out << "start syncing with `tidewell start` (or `tidewell run` in the foreground)\n";
  } else {
    ReloadRunning(c);
  }
  return 0;
}

int CmdRemove(const Context& c, const std::string& dir) {
  StoreLock lock(c.paths);
  if (!lock.ok()) return Fail(c, "another tidewell command is changing the settings; try again");
  auto sessions = RequireSessions(c);
  if (!sessions) return 1;
  auto s = RequireSession(c, *sessions, dir);
  if (!s) return 1;
  std::erase_if(*sessions, [&](const SessionRecord& r) { return r.id == s->id; });
  std::string error;
  if (SaveSessions(c.paths, *sessions, error) != 0) return Fail(c, error);
  RuntimeInfo info;
  if (ReadRuntimeInfo(c.paths, info) != 0) ReloadRunning(c);
  // The daemon has let go of the session's databases now.
  if (RemoveDirectoryRecursive(ustring(c.paths.SessionDir(s->id))) != 0) {
    *c.err << "tidewell: could not delete all of '" << c.paths.SessionDir(s->id) << "'\n";
  }
  *c.out << "removed " << Pretty(c, s->folder) << ": its files stay as they are, and so does the server's copy\n";
  return 0;
}

int CmdSelective(const Context& c, const std::string& dir, const std::string& path, bool exclude) {
  auto sessions = RequireSessions(c);
  if (!sessions) return 1;
  auto s = RequireSession(c, *sessions, dir);
  if (!s) return 1;
  std::string rel, message;
  if (SessionRelativePath(s->folder, path, rel, message) != 0) return Fail(c, message);
  const std::string rules = BlackListFile(c.paths.SessionDir(s->id));
  SelectiveSyncEdit edit;
  {
    StoreLock lock(c.paths);
    if (!lock.ok()) return Fail(c, "another tidewell command is changing the settings; try again");
    edit = EditSelectiveSync(rules, rel, exclude, message);
  }
  if (edit == kEditFailed) return Fail(c, message);
  *c.out << Pretty(c, s->folder) << ": " << message << "\n";
  if (edit == kEditUnchanged) return 0;
  RuntimeInfo info;
  int running = FindInstance(c, info);
  if (running == 0) {
    *c.out << "the change takes effect when tidewell starts\n";
    return 0;
  }
  if (running < 0) return 1;
  // The daemon reloads a session's rules only while it is paused.
  std::string error;
  PObject req;
  req["session_id"] = static_cast<unsigned long long>(s->id);
  req["action"] = "pause";
  if (TellDaemon(info, req, nullptr, error) != 0) return Fail(c, "cannot pause the folder: " + error);
  req["action"] = "reload_session";
  const bool reloaded = TellDaemon(info, req, nullptr, error) == 0;
  const std::string reload_error = error;
  if (!s->paused) {
    req["action"] = "resume";
    if (TellDaemon(info, req, nullptr, error) != 0) return Fail(c, "cannot resume the folder: " + error);
  }
  if (!reloaded) {
    return Fail(c, "the daemon did not take the new rules: " + reload_error, "see `tidewell log`");
  }
  *c.out << (exclude ? "the daemon leaves it out from now on\n"
                     : "the daemon brings it back now\n");
  return 0;
}

}  // namespace tidewell::cli
