// Where the front end keeps its files, after the XDG base-directory rules:
//
//   $XDG_CONFIG_HOME/tidewell  (default ~/.config/tidewell): the connection,
//       the sessions, each session's configuration folder ("sessions/<id>"
//       with its "db" and "conf" folders), the daemon's configuration file,
//       the system filter, the log-level file and the filter database;
//   $XDG_STATE_HOME/tidewell   (default ~/.local/state/tidewell): logs and
//       the file-status database, which the daemon empties at every start;
//   $XDG_RUNTIME_DIR/tidewell  (default /tmp/tidewell-<uid>): the running
//       instance's lock and port file.
//
// A variable that is unset, empty or not an absolute path is ignored, as
// the XDG rules say. Plain values; not synchronised.

#ifndef TIDEWELL_CLI_XDG_PATHS_H_
#define TIDEWELL_CLI_XDG_PATHS_H_

#include <cstdint>
#include <functional>
#include <string>

namespace tidewell::cli {

struct Paths {
  std::string config_dir;
  std::string state_dir;
  std::string runtime_dir;

  std::string ConnectionFile() const { return config_dir + "/connection.json"; }
  std::string SessionsFile() const { return config_dir + "/sessions.json"; }
  // Serialises read-modify-write of the two files above between commands.
  std::string StoreLockFile() const { return config_dir + "/.store.lock"; }
  std::string SessionDir(uint64_t session_id) const {
    return config_dir + "/sessions/" + std::to_string(session_id);
  }
  std::string DaemonConfigFile() const { return config_dir + "/daemon.conf"; }
  std::string SystemFilterFile() const { return config_dir + "/system.filter"; }
  std::string LogLevelFile() const { return config_dir + "/log-levels.conf"; }
  std::string FilterDbFile() const { return config_dir + "/filter.sqlite"; }
  std::string FileStatusDbFile() const { return state_dir + "/file-status.sqlite"; }
  std::string DaemonLogFile() const { return state_dir + "/daemon.log"; }
  // What the daemon prints to its standard streams.
  std::string DaemonOutputFile() const { return state_dir + "/daemon.out"; }
  // The front end's own log: what the libraries under it report.
  std::string FrontEndLogFile() const { return state_dir + "/tidewell.log"; }
  // What a detached `tidewell run` (started by `tidewell start`) prints.
  std::string InstanceLogFile() const { return state_dir + "/instance.log"; }
  std::string LockFile() const { return runtime_dir + "/lock"; }
  std::string PortFile() const { return runtime_dir + "/port"; }
};

// Looks an environment variable up; null when unset.
using EnvLookup = std::function<const char*(const char*)>;

// Fills `paths` from the environment (`uid` names the runtime fallback).
// Returns 0, or -1 with `error` when neither the XDG variables nor HOME say
// where the configuration and state belong.
[[nodiscard]] int ResolvePaths(const EnvLookup& env, unsigned uid, Paths& paths, std::string& error);

// Creates the three folders (private, 0700). 0, or -1 with `error`.
[[nodiscard]] int EnsureFolders(const Paths& paths, std::string& error);

}  // namespace tidewell::cli

#endif  // TIDEWELL_CLI_XDG_PATHS_H_
