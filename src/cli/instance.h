// `tidewell run`: the user-interface process of one daemon. It starts
// `tidewell-daemon` as its child, takes the daemon's notices on its
// user-interface port, hands the daemon the connection and the sessions
// ("link", "link_connection", then "add_session" and "resume" per
// session), prints what happens grouped into a line or a few per second,
// restarts a daemon that dies, and on SIGINT, SIGTERM or SIGHUP stops the
// daemon in order ("stop") before it ends itself.
//
// Other `tidewell` commands reach a running instance through the port file
// and the same user-interface port: {"action": "front_end_status"} answers
// the notice summary, {"action": "front_end_reload"} makes the daemon's
// sessions match the stored ones (new folders added, removed ones removed).
//
// One instance per runtime folder (the instance lock). Run() blocks the
// calling thread, which must be the main thread: it blocks the stop
// signals for the whole process and waits for them itself.

#ifndef TIDEWELL_CLI_INSTANCE_H_
#define TIDEWELL_CLI_INSTANCE_H_

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <set>
#include <string>

#include "cli/notice_digest.h"
#include "cli/store.h"
#include "cli/ui_listener.h"
#include "cli/xdg_paths.h"

namespace tidewell::cli {

struct RunOptions {
  std::string daemon_program;  // path of tidewell-daemon
  int worker_count = 3;
  std::string home;            // shown as "~"
};

class Instance {
 public:
  Instance(const Paths& paths, const RunOptions& options, std::ostream& out);

  // Runs until stopped. Returns the process exit code: 0 after an orderly
  // stop, 1 when the instance could not start or the daemon kept dying.
  int Run();

 private:
  // Starts the daemon and waits for its "daemon_port". 0, or -1 (printed).
  int StartDaemon();
  // "link", "link_connection" and the sessions. 0, or -1 (printed).
  int SetUp();
  // Makes the daemon's sessions match sessions.json; lines for the user in
  // `report`. Takes daemon_mutex_.
  void Reconcile(std::string& report);
  void ReconcileLocked(std::string& report);
  // Asks the daemon to stop, then insists. Takes daemon_mutex_.
  void StopDaemon(int grace_seconds);
  // Handles one message of the user-interface port.
  void OnMessage(const PObject& message, PObject& reply);
  // Prints a line with the time in front.
  void Say(const std::string& line);
  int WriteState(bool ready);
  std::string Name(uint64_t session_id);

  // Set at construction.
  const Paths paths_;
  const RunOptions options_;
  std::ostream& out_;

  NoticeDigest digest_;  // thread-safe itself
  UiListener listener_;
  std::mutex out_mutex_;  // one line at a time on out_

  // Guarded by daemon_mutex_: the daemon and what was handed to it.
  std::mutex daemon_mutex_;
  pid_t daemon_pid_ = 0;
  int daemon_port_ = 0;
  ConnectionSettings connection_;
  std::vector<SessionRecord> sessions_;  // as last loaded
  std::set<uint64_t> loaded_;            // registered with the daemon
  std::set<uint64_t> missing_;           // folders that are not there (reported once)

  // The daemon's start-up notice: guarded by port_mutex_.
  std::mutex port_mutex_;
  std::condition_variable port_cond_;
  int announced_port_ = 0;
};

}  // namespace tidewell::cli

#endif  // TIDEWELL_CLI_INSTANCE_H_
