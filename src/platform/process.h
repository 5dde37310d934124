// Starting, watching and stopping child processes: the front end runs the
// daemon as its child and starts itself detached for `tidewell start`.
//
// All functions may be called from any thread. SpawnProcess forks, so the
// child runs only async-signal-safe code between fork and exec; everything
// it needs is prepared before the fork.

#ifndef TIDEWELL_PLATFORM_PROCESS_H_
#define TIDEWELL_PLATFORM_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace tidewell {

struct SpawnOptions {
  // argv[0] is the program's path (no PATH search).
  std::vector<std::string> argv;
  // "NAME=value" entries replacing the environment; empty inherits it.
  std::vector<std::string> env;
  // Standard output and error are appended to this file (created 0600 when
  // missing); empty keeps the parent's. Standard input is /dev/null.
  std::string output_file;
  // The child leads a process group of its own, so a terminal's Ctrl-C
  // reaches only the parent, which then stops the child in order.
  bool new_process_group = false;
  // The child starts a new session (no controlling terminal): detached.
  bool new_session = false;
  // The child gets SIGTERM when the spawning thread's process dies, so a
  // killed parent does not leave it running unsupervised.
  bool die_with_parent = false;
};

// Starts the program. Returns its pid once exec succeeded; -1 when the fork
// failed or the program could not be executed (errno tells why; the child
// is then already reaped).
pid_t SpawnProcess(const SpawnOptions& options);

// Waits up to `timeout_ms` (negative: without limit) for the child `pid` to
// end and reaps it. Returns 1 when it ended (`exit_code` gets its exit
// status, or 128 + the signal that killed it), 0 when it still runs, -1 on
// error (not our child, already reaped).
int WaitProcess(pid_t pid, int timeout_ms, int* exit_code);

// Sends `sig` to `pid`. 0, or -1 with errno (ESRCH when it is gone).
int SignalProcess(pid_t pid, int sig);

// True while a process `pid` exists (also one of another user).
bool ProcessExists(pid_t pid);

// The command line of process `pid` (arguments separated by blanks), or
// "" when it is gone or not readable.
std::string ProcessCommandLine(pid_t pid);

// The absolute path of the running program, or "" when unknown.
std::string SelfExecutablePath();

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_PROCESS_H_
