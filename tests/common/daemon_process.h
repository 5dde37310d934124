// The real tidewell-daemon program, started for one test the way a user
// interface starts it, and the user interface's side of the conversation.
//
// UiEndpoint is the user interface's loopback port: it takes the daemon's
// start-up notice and every later notice, one value per connection, on a
// thread of its own. DaemonProcess writes a configuration file into a fresh
// folder (log, databases, system filter, "ui_port" pointing at the
// endpoint), starts the program, waits for its "daemon_port" notice and then
// sends control requests with the project's control client. The daemon's
// HOME (and with it the trash it moves items to) is the folder "home" in the
// test's folder.
//
// Waits have deadlines and look at real conditions (a notice arrived, the
// process ended, a log line appeared); none sleeps to synchronise.
// Not thread-safe, except UiEndpoint's notice list.

#ifndef TIDEWELL_TESTS_COMMON_DAEMON_PROCESS_H_
#define TIDEWELL_TESTS_COMMON_DAEMON_PROCESS_H_

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/temp_dir.h"
#include "net/pobject.h"

namespace tidewell::testing {

// The path of the built daemon program.
std::string DaemonProgram();

class UiEndpoint {
 public:
  // Listens on 127.0.0.1:`port` (0: a port the system picks).
  explicit UiEndpoint(int port = 0);
  ~UiEndpoint();
  UiEndpoint(const UiEndpoint&) = delete;
  UiEndpoint& operator=(const UiEndpoint&) = delete;

  int port() const { return port_; }
  // False when the port could not be bound.
  bool listening() const { return port_ > 0; }

  // Waits until a received notice satisfies `match` and returns it; an
  // empty object (and a test failure) after `seconds`.
  PObject WaitFor(const std::function<bool(const PObject&)>& match, int seconds = 60);
  // Waits until the notices received so far, as a whole, satisfy `done`
  // (called with the endpoint's lock held: it must not call back). False,
  // and a test failure, after `seconds`.
  bool WaitUntil(const std::function<bool(const std::vector<PObject>&)>& done, int seconds = 60);
  // Every notice so far, oldest first.
  std::vector<PObject> Notices();

 private:
  void Serve();

  int listen_fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<PObject> notices_;  // guarded by mu_
  std::vector<int> open_fds_;     // connections kept open, guarded by mu_
};

class DaemonProcess {
 public:
  // Prepares a configuration in `dir` for a daemon whose notices go to
  // `ui`. `config` adds or overrides keys of the configuration file.
  DaemonProcess(const TempDir& dir, UiEndpoint& ui, std::map<std::string, std::string> config = {});
  // Kills a daemon that is still running.
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  // Starts the program with the configuration file and the endpoint's port
  // and waits for its "daemon_port" notice. Fails the test when it does not
  // come.
  void Start();
  // Starts the program with exactly these arguments (after the program
  // name) and does not wait for anything.
  void StartWithArgs(const std::vector<std::string>& args);

  // The control port announced by the daemon.
  int port() const { return port_; }

  // Sends one request and returns the reply; fails the test on a transport
  // error.
  PObject Request(const PObject& request);
  // The same for a request given as an action and its members.
  PObject Request(const char* action, const PObject& members = PObject());

  // Asks "get_status" until the reply satisfies `done` and returns that
  // reply; the last reply (and a test failure) after `seconds`.
  PObject WaitForStatus(const std::function<bool(const PObject&)>& done, int seconds = 60);

  // Waits for the process to end: its exit status (0-255), or -1 when it
  // still runs after `seconds`, -2 when it died of a signal.
  int Wait(int seconds = 60);
  pid_t pid() const { return pid_; }

  // The daemon's log so far (rotated files included, oldest first) and its
  // standard output.
  std::string Log() const;
  std::string Output() const;
  // Waits until the log holds `text`.
  bool WaitForLog(const std::string& text, int seconds = 60) const;

  const std::string& config_path() const { return config_path_; }
  const std::string& log_path() const { return log_path_; }

 private:
  const TempDir& dir_;
  UiEndpoint& ui_;
  std::string config_path_;
  std::string log_path_;
  std::string output_path_;
  pid_t pid_ = -1;
  int pidfd_ = -1;
  int port_ = 0;
  int status_ = -1;
};

// Writes a black list and a white list that exclude nothing into
// `config`/conf, as a user interface prepares a session's folder.
void WriteOpenRuleFiles(const TempDir& dir, const std::string& config);

}  // namespace tidewell::testing

#endif  // TIDEWELL_TESTS_COMMON_DAEMON_PROCESS_H_
