// `tidewell status`: one model of what the front end knows -- the stored
// sessions, the daemon's status reply (taken twice to measure transfer
// rates), the notice summary of the running instance -- and three ways of
// showing it: a terminal view with progress bars, plain lines for scripts
// and logs, and the model itself as JSON (--json).
//
// Pure functions of their inputs; safe from any thread.

#ifndef TIDEWELL_CLI_STATUS_VIEW_H_
#define TIDEWELL_CLI_STATUS_VIEW_H_

#include <ctime>
#include <map>
#include <set>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/store.h"
#include "net/pobject.h"

namespace tidewell::cli {

struct StatusInput {
  bool running = false;
  std::string server;                           // "host:port", or "" when not logged in
  std::vector<SessionRecord> sessions;          // as stored
  std::map<uint64_t, std::vector<std::string>> excluded;  // per session, from its rules
  std::set<uint64_t> missing;                   // sessions whose folder is not there
  PObject daemon;                               // the last "get_status" reply (null when not running)
  PObject earlier;                              // an earlier reply, for rates (may be null)
  double seconds_between = 0;                   // between the two replies
  nlohmann::json notices;                       // the instance's summary (may be null)
  time_t now = 0;
  std::string home;                             // shown as "~" in folder names
};

// The status model (what --json prints).
nlohmann::json BuildStatus(const StatusInput& in);

// The model for people on a terminal `width` columns wide: one block per
// session, a progress bar per transfer.
std::string RenderTerminal(const nlohmann::json& status, int width);

// The model as plain "key: value" lines, one line per fact.
std::string RenderPlain(const nlohmann::json& status);

// "1.5 MiB", "512 B".
std::string HumanBytes(uint64_t bytes);

}  // namespace tidewell::cli

#endif  // TIDEWELL_CLI_STATUS_VIEW_H_
