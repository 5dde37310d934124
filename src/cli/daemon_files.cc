#include "cli/daemon_files.h"

#include <unistd.h>

#include "base/ustring.h"
#include "cli/session_rules.h"
#include "platform/durable_replace.h"

namespace tidewell::cli {

namespace {

// Components whose informational lines help to follow a sync in the log;
// the rest write warnings and worse.
constexpr const char* kLogLevels =
    "# Highest level written per log component: 3 errors, 4 warnings,\n"
    "# 6 information, 7 debugging. Components not listed write warnings.\n"
    "client_debug = 6\n"
    "syncer_debug = 6\n"
    "worker_debug = 6\n"
    "conflict_rename_debug = 6\n"
    "progress_syncer_debug = 6\n";

}  // namespace

bool QuoteConfigValue(const std::string& value, std::string& quoted) {
  bool has_double = false, has_single = false;
  for (unsigned char c : value) {
    if (c < 0x20 || c == 0x7f) return false;
    has_double |= c == '"';
    has_single |= c == '\'';
  }
  if (has_double && has_single) return false;
  const char q = has_double ? '\'' : '"';
  quoted = std::string(1, q) + value + q;
  return true;
}

int DaemonConfigText(const Paths& paths, const DaemonLaunch& launch, std::string& text, std::string& error) {
  const std::pair<const char*, std::string> strings[] = {
      {"log_file_path", paths.DaemonLogFile()},
      {"log_level_file_path", paths.LogLevelFile()},
      {"fstat_db_path", paths.FileStatusDbFile()},
      {"filter_db_path", paths.FilterDbFile()},
      {"system_filter_path", paths.SystemFilterFile()},
      {"db_path", paths.state_dir + "/db.sqlite"},
      {"pid_file_path", paths.runtime_dir + "/daemon.pid"},
      {"client_name", launch.client_name},
  };
  text = "# Written by tidewell at every start of the daemon; edits are lost.\n";
  for (const auto& [key, value] : strings) {
    if (value.empty()) continue;
    std::string quoted;
    if (!QuoteConfigValue(value, quoted)) {
      error = std::string("cannot write ") + key + " '" + value + "' into the daemon's configuration";
      return -1;
    }
    text += std::string(key) + " = " + quoted + "\n";
  }
  text += "worker_count = " + std::to_string(launch.worker_count) + "\n";
  text += "ui_port = " + std::to_string(launch.ui_port) + "\n";
  return 0;
}

int WriteDaemonFiles(const Paths& paths, const DaemonLaunch& launch, std::string& error) {
  std::string text;
  if (DaemonConfigText(paths, launch, text, error) != 0) return -1;
  if (DurableReplaceContent(ustring(paths.DaemonConfigFile()), text, 0600) != 0) {
    error = "cannot write '" + paths.DaemonConfigFile() + "'";
    return -1;
  }
  if (access(paths.LogLevelFile().c_str(), F_OK) != 0 &&
      DurableReplaceContent(ustring(paths.LogLevelFile()), kLogLevels, 0600) != 0) {
    error = "cannot write '" + paths.LogLevelFile() + "'";
    return -1;
  }
  if (access(paths.SystemFilterFile().c_str(), F_OK) != 0 &&
      WriteEmptyBlackList(paths.SystemFilterFile(), error) != 0) {
    return -1;
  }
  return 0;
}

}  // namespace tidewell::cli
