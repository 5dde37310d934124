// Helpers the command functions share: the stored state with its error
// messages, the session a folder argument names, and requests to a
// running instance. Internal to src/cli.

#ifndef TIDEWELL_CLI_COMMAND_SUPPORT_H_
#define TIDEWELL_CLI_COMMAND_SUPPORT_H_

#include <optional>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/runtime_state.h"
#include "cli/store.h"
#include "net/pobject.h"

namespace tidewell::cli {

// Prints "tidewell: <reason>" and, when given, "  hint: <hint>" on the
// error stream; returns 1.
int Fail(const Context& c, const std::string& reason, const std::string& hint = "");

// `folder` shown with "~" for the home folder.
std::string Pretty(const Context& c, const std::string& folder);

// The stored connection, or a failure already printed (nullopt).
std::optional<ConnectionSettings> RequireConnection(const Context& c);

// The stored sessions, or nullopt after printing why not.
std::optional<std::vector<SessionRecord>> RequireSessions(const Context& c);

// The session of the folder argument `dir` (canonicalised), or nullopt
// after printing that it is none.
std::optional<SessionRecord> RequireSession(const Context& c, const std::vector<SessionRecord>& sessions,
                                            const std::string& dir);

// The running instance, when there is one and it is ready: 1 (with
// `info`), 0 not running, -1 running but not answering (printed).
int FindInstance(const Context& c, RuntimeInfo& info);

// Sends a front-end request to the instance's port and returns the reply.
// 0, or -1 with `error`.
int AskInstance(const RuntimeInfo& info, const std::string& action, PObject& reply, std::string& error);

// Sends a control request to the daemon of the running instance. 0 when it
// succeeded; otherwise -1 with `error` (also for an "error" reply).
int TellDaemon(const RuntimeInfo& info, PObject request, PObject* reply, std::string& error);

}  // namespace tidewell::cli

#endif  // TIDEWELL_CLI_COMMAND_SUPPORT_H_
