// The files the daemon reads at start-up, which the front end writes: the
// daemon's configuration file (key = value lines), the log-level file and
// the system filter rule file.
//
// Stateless functions; safe from any thread as long as two callers do not
// write the same files at once.

#ifndef TIDEWELL_CLI_DAEMON_FILES_H_
#define TIDEWELL_CLI_DAEMON_FILES_H_

#include <string>

#include "cli/xdg_paths.h"

namespace tidewell::cli {

// What varies between starts of the daemon.
struct DaemonLaunch {
  int ui_port = 0;          // where the daemon sends its notices
  int worker_count = 3;     // two workers, as the daemon's default
  std::string client_name;  // this computer's name in conflict copies
};

// `value` quoted for a configuration line: in double quotes, or in single
// quotes when it holds a double quote. Returns false when it cannot be
// written (it holds both quotes, or a control byte).
bool QuoteConfigValue(const std::string& value, std::string& quoted);

// The text of the daemon's configuration file for these paths. Returns 0,
// or -1 with `error` naming the path that cannot be written as a value.
[[nodiscard]] int DaemonConfigText(const Paths& paths, const DaemonLaunch& launch, std::string& text,
                                   std::string& error);

// Writes the configuration file (every start: the UI port changes), and the
// log-level file and the system filter when they do not exist yet (users
// may edit those). 0, or -1 with `error`.
[[nodiscard]] int WriteDaemonFiles(const Paths& paths, const DaemonLaunch& launch, std::string& error);

}  // namespace tidewell::cli

#endif  // TIDEWELL_CLI_DAEMON_FILES_H_
