// The commands of `tidewell`, one function each, called by cli_main.cc
// after argument parsing. Each prints what it did or why it could not (one
// line with the reason, one with a hint where there is one) and returns
// the process exit code: 0 success, 1 failure; `verify` returns 1 when it
// found mismatches and 2 when it could not look.
//
// Commands run on the main thread of a short-lived process; `run` keeps
// it until stopped.

#ifndef TIDEWELL_CLI_COMMANDS_H_
#define TIDEWELL_CLI_COMMANDS_H_

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "cli/xdg_paths.h"

namespace tidewell::cli {

// What every command needs.
struct Context {
  Paths paths;
  std::string home;            // the user's home, shown as "~"
  std::string self_program;    // this program's path, for `start`
  std::string daemon_program;  // tidewell-daemon's path
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
  bool terminal = false;       // standard output is a terminal
  int width = 80;
};

struct LoginOptions {
  std::string address;  // HOST[:PORT]
  std::string token;
  std::optional<uint64_t> view;
  bool ssl = false;
  std::string ca_file;
  std::string name;  // this computer's name in conflict copies
};

int CmdLogin(const Context& c, const LoginOptions& o);
int CmdAdd(const Context& c, const std::string& dir, const std::string& remote, std::optional<uint64_t> view);
int CmdRemove(const Context& c, const std::string& dir);
int CmdSelective(const Context& c, const std::string& dir, const std::string& path, bool exclude);

int CmdRun(const Context& c, int workers);
int CmdStart(const Context& c, int workers);
int CmdStop(const Context& c);
int CmdPause(const Context& c, const std::string& dir, bool pause, bool confirm_removals);
int CmdStatus(const Context& c, bool json, bool watch);

int CmdVerify(const Context& c, const std::string& dir, bool json);
int CmdConflicts(const Context& c, const std::string& dir, bool json);
int CmdLog(const Context& c, int lines, bool follow, bool instance);

// The default port of a sync server.
constexpr int kDefaultServerPort = 6690;

// Splits "HOST[:PORT]". 0, or -1 with `error`.
[[nodiscard]] int ParseServerAddress(const std::string& text, std::string& host, int& port, std::string& error);

// `remote` made a clean server path: leading "/", no trailing "/", no
// empty, "." or ".." components ("" and "/" give "/"). 0, or -1.
[[nodiscard]] int CleanRemotePath(const std::string& remote, std::string& out, std::string& error);

}  // namespace tidewell::cli

#endif  // TIDEWELL_CLI_COMMANDS_H_
