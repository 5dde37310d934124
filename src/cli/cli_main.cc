// tidewell: the command-line front end of the sync daemon. Parses the
// arguments (CLI11), sets up the folders and the log, and runs one command
// (commands.h).

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <iostream>

#include "base/log.h"
#include "cli/commands.h"
#include "platform/process.h"
#include "platform/terminal.h"

namespace {

using namespace tidewell;
using namespace tidewell::cli;

std::string SiblingDaemon(const std::string& self) {
  if (const char* forced = std::getenv("TIDEWELL_DAEMON"); forced != nullptr && forced[0] != '\0') return forced;
  const size_t slash = self.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : self.substr(0, slash);
  return dir + "/tidewell-daemon";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tidewell: keeps local folders in step with folders on a sync server"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "tidewell 0.1");

  LoginOptions login;
  uint64_t view_value = 0;
  auto* login_cmd = app.add_subcommand("login", "store the server connection and check it with a real handshake");
  login_cmd->add_option("address", login.address, "HOST[:PORT] of the sync server (port 6690 by default)")->required();
  login_cmd->add_option("--token", login.token, "the token the server's administrator gave you")->required();
  auto* login_view = login_cmd->add_option("--view", view_value, "view number of your folder tree on the server");
  login_cmd->add_flag("--ssl", login.ssl, "talk to the server over SSL");
  login_cmd->add_option("--ca-file", login.ca_file, "PEM certificate(s) the server's certificate must chain to (implies --ssl)");
  login_cmd->add_option("--name", login.name, "this computer's name in conflict copies (default: the host name)");

  std::string dir, path, remote = "/";
  uint64_t add_view = 0;
  auto* add_cmd = app.add_subcommand("add", "synchronise a folder");
  add_cmd->add_option("dir", dir, "the local folder (created when missing)")->required();
  add_cmd->add_option("--remote", remote, "the folder on the server (default /)");
  auto* add_view_opt = add_cmd->add_option("--view", add_view, "the server view (default: the one given at login)");

  auto* remove_cmd = app.add_subcommand("remove", "stop synchronising a folder (its files stay)");
  remove_cmd->add_option("dir", dir, "the local folder")->required();

  int workers = 3;
  auto* run_cmd = app.add_subcommand("run", "run the daemon in the foreground and show what happens (Ctrl-C stops)");
  run_cmd->add_option("--workers", workers, "worker count of the daemon's configuration (default 3)")->check(CLI::Range(1, 32));
  auto* start_cmd = app.add_subcommand("start", "run the daemon in the background (one instance per user)");
  start_cmd->add_option("--workers", workers, "worker count of the daemon's configuration (default 3)")->check(CLI::Range(1, 32));
  auto* stop_cmd = app.add_subcommand("stop", "stop the background daemon");

  bool json = false, watch = false;
  auto* status_cmd = app.add_subcommand("status", "what is synchronised, pending, transferring or wrong");
  status_cmd->add_flag("--json", json, "print the status as JSON");
  status_cmd->add_flag("--watch", watch, "refresh every second until interrupted");

  bool confirm = false;
  auto* pause_cmd = app.add_subcommand("pause", "pause one folder, or all");
  pause_cmd->add_option("dir", dir, "the local folder (default: all)");
  auto* resume_cmd = app.add_subcommand("resume", "resume one folder, or all");
  resume_cmd->add_option("dir", dir, "the local folder (default: all)");
  resume_cmd->add_flag("--confirm-removals", confirm, "let removals through that the daemon held back");

  auto* exclude_cmd = app.add_subcommand("exclude", "leave a folder of a session out (selective sync)");
  exclude_cmd->add_option("dir", dir, "the synchronised folder")->required();
  exclude_cmd->add_option("path", path, "the folder to leave out, inside it")->required();
  auto* include_cmd = app.add_subcommand("include", "take a left-out folder back in");
  include_cmd->add_option("dir", dir, "the synchronised folder")->required();
  include_cmd->add_option("path", path, "the folder to take back")->required();

  auto* conflicts_cmd = app.add_subcommand("conflicts", "list the conflict copies");
  conflicts_cmd->add_option("dir", dir, "the synchronised folder (default: all)");
  conflicts_cmd->add_flag("--json", json, "print JSON");

  auto* verify_cmd = app.add_subcommand("verify", "compare local files, the sync records and the server (read-only)");
  verify_cmd->add_option("dir", dir, "the synchronised folder")->required();
  verify_cmd->add_flag("--json", json, "print the report as JSON");

  int lines = 50;
  bool follow = false, instance_log = false;
  auto* log_cmd = app.add_subcommand("log", "show the daemon's log");
  log_cmd->add_option("-n,--lines", lines, "how many of the last lines (default 50)");
  log_cmd->add_flag("-f,--follow", follow, "keep printing what is added");
  log_cmd->add_flag("--instance", instance_log, "the background front end's output instead");

  CLI11_PARSE(app, argc, argv);

  Context c;
  c.out = &std::cout;
  c.err = &std::cerr;
  c.terminal = IsTerminal(1);
  c.width = TerminalWidth(1);
  if (const char* home = std::getenv("HOME")) c.home = home;
  c.self_program = SelfExecutablePath();
  c.daemon_program = SiblingDaemon(c.self_program);
  std::string error;
  if (ResolvePaths([](const char* name) { return std::getenv(name); }, getuid(), c.paths, error) != 0 ||
      EnsureFolders(c.paths, error) != 0) {
    std::cerr << "tidewell: " << error << "\n";
    return 1;
  }
  // Library messages go to the front end's own log, not over the output.
  (void)Logger::Initialize(Logger::FILE_LOGGER, ustring(c.paths.FrontEndLogFile()), ustring(c.paths.LogLevelFile()), 3);

  if (*login_cmd) {
    if (*login_view) login.view = view_value;
    return CmdLogin(c, login);
  }
  if (*add_cmd) return CmdAdd(c, dir, remote, *add_view_opt ? std::optional<uint64_t>(add_view) : std::nullopt);
  if (*remove_cmd) return CmdRemove(c, dir);
  if (*run_cmd) return CmdRun(c, workers);
  if (*start_cmd) return CmdStart(c, workers);
  if (*stop_cmd) return CmdStop(c);
  if (*status_cmd) return CmdStatus(c, json, watch);
  if (*pause_cmd) return CmdPause(c, dir, true, false);
  if (*resume_cmd) return CmdPause(c, dir, false, confirm);
  if (*exclude_cmd) return CmdSelective(c, dir, path, true);
  if (*include_cmd) return CmdSelective(c, dir, path, false);
  if (*conflicts_cmd) return CmdConflicts(c, dir, json);
  if (*verify_cmd) return CmdVerify(c, dir, json);
  if (*log_cmd) return CmdLog(c, lines, follow, instance_log);
  return 1;
}
