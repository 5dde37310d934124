// What a running front-end instance tells other commands: the port file in
// the runtime folder (its pid, its user-interface port, the daemon's pid and
// control port, whether the sessions are set up), guarded by the instance
// lock there. The lock, not the file, decides whether an instance runs: a
// file left behind by a crash is ignored.
//
// Stateless functions; the instance writes the file, commands read it.

#ifndef TIDEWELL_CLI_RUNTIME_STATE_H_
#define TIDEWELL_CLI_RUNTIME_STATE_H_

#include <sys/types.h>

#include <string>

#include "cli/xdg_paths.h"

namespace tidewell::cli {

struct RuntimeInfo {
  pid_t pid = 0;          // the `tidewell run` process
  int ui_port = 0;        // where it takes notices and front-end requests
  pid_t daemon_pid = 0;
  int daemon_port = 0;    // the daemon's control port; 0 while starting
  bool ready = false;     // linked, connection and sessions handed over
};

// Replaces the port file. 0, or -1.
[[nodiscard]] int WriteRuntimeInfo(const Paths& paths, const RuntimeInfo& info);

// 1 when an instance holds the lock and its file could be read (`info`
// filled), 0 when no instance runs, -1 when one runs but its file is
// missing or unreadable (it is still starting, or something is broken).
int ReadRuntimeInfo(const Paths& paths, RuntimeInfo& info);

// Reads the port file whatever the lock says (to find a daemon that a
// crashed instance left behind). 1 read, 0 no file, -1 unreadable.
int ReadRuntimeFile(const Paths& paths, RuntimeInfo& info);

// Removes the port file (when the instance ends).
void RemoveRuntimeInfo(const Paths& paths);

}  // namespace tidewell::cli

#endif  // TIDEWELL_CLI_RUNTIME_STATE_H_
