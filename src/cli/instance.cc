#include "cli/instance.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <ostream>
#include <sstream>
#include <thread>

#include "cli/control_client.h"
#include "cli/daemon_files.h"
#include "cli/runtime_state.h"
#include "cli/session_rules.h"
#include "platform/file_stat.h"
#include "platform/instance_lock.h"
#include "platform/ipv4_resolve.h"
#include "platform/process.h"

namespace tidewell::cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDaemonStartSeconds = 30;
constexpr uint32_t kControlTimeout = 120;
// A daemon that dies this often within the window is not restarted again.
constexpr int kMaxCrashes = 5;
constexpr auto kCrashWindow = std::chrono::seconds(120);

std::string Tail(const std::string& file, size_t lines) {
  std::ifstream in(file);
  std::vector<std::string> all;
  std::string line;
  while (std::getline(in, line)) all.push_back(line);
  std::string out;
  for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i) out += "    " + all[i] + "\n";
  return out;
}

bool IsFolder(const std::string& path) {
  FILE_INFO info;
  return FSStat(ustring(path), info, false) == 0 && info.isExist && info.type == FT_DIR;
}

// Stop signals are taken by sigtimedwait in the main loop, never by handlers.
sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

// Waits up to `ms` for a stop signal; its number, or 0.
int WaitSignal(int ms) {
  sigset_t set = StopSignals();
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  int sig = sigtimedwait(&set, nullptr, &ts);
  return sig > 0 ? sig : 0;
}

}  // namespace

Instance::Instance(const Paths& paths, const RunOptions& options, std::ostream& out)
    : paths_(paths), options_(options), out_(out) {}

void Instance::Say(const std::string& line) {
  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  char stamp[16];
  strftime(stamp, sizeof stamp, "%H:%M:%S", &tm);
  std::lock_guard<std::mutex> lock(out_mutex_);
  out_ << stamp << "  " << line << std::endl;
}

std::string Instance::Name(uint64_t session_id) {
  std::lock_guard<std::mutex> lock(daemon_mutex_);
  for (const SessionRecord& s : sessions_) {
    if (s.id != session_id) continue;
    if (!options_.home.empty() && s.folder.rfind(options_.home + "/", 0) == 0) {
      return "~" + s.folder.substr(options_.home.size());
    }
    return s.folder;
  }
  return "session " + std::to_string(session_id);
}

int Instance::WriteState(bool ready) {
  RuntimeInfo info;
  info.pid = getpid();
  info.ui_port = listener_.port();
  info.daemon_pid = daemon_pid_;
  info.daemon_port = daemon_port_;
  info.ready = ready;
  return WriteRuntimeInfo(paths_, info);
}

void Instance::OnMessage(const PObject& message, PObject& reply) {
  if (message.hasMember("daemon_port")) {
    std::lock_guard<std::mutex> lock(port_mutex_);
    announced_port_ = message["daemon_port"].asInt32();
    port_cond_.notify_all();
    return;
  }
  if (message.hasMember("notify")) {
    digest_.Add(message, time(nullptr));
    return;
  }
  const ustring& action = message["action"].asStringRef();
  if (action == ustring("front_end_status")) {
    reply["summary"] = digest_.Summary(time(nullptr)).dump();
  } else if (action == ustring("front_end_reload")) {
    std::string report;
    Reconcile(report);
    reply["report"] = report;
  }
}

int Instance::StartDaemon() {
  {
    std::lock_guard<std::mutex> lock(port_mutex_);
    announced_port_ = 0;
  }
  DaemonLaunch launch;
  launch.ui_port = listener_.port();
  launch.worker_count = options_.worker_count;
  launch.client_name = connection_.client_name;
  std::string error;
  if (WriteDaemonFiles(paths_, launch, error) != 0) {
    Say("cannot start: " + error);
    return -1;
  }
  SpawnOptions spawn;
  spawn.argv = {options_.daemon_program, paths_.DaemonConfigFile(), std::to_string(launch.ui_port)};
  spawn.output_file = paths_.DaemonOutputFile();
  spawn.new_process_group = true;
  spawn.die_with_parent = true;
  pid_t pid = SpawnProcess(spawn);
  if (pid < 0) {
    Say("cannot start the daemon '" + options_.daemon_program + "': " + strerror(errno));
    return -1;
  }
  {
    std::lock_guard<std::mutex> guard(daemon_mutex_);
    daemon_pid_ = pid;
    daemon_port_ = 0;
  }
  const auto deadline = Clock::now() + std::chrono::seconds(kDaemonStartSeconds);
  std::unique_lock<std::mutex> lock(port_mutex_);
  while (announced_port_ == 0) {
    int code = 0;
    if (WaitProcess(pid, 0, &code) == 1) {
      std::lock_guard<std::mutex> guard(daemon_mutex_);
      daemon_pid_ = 0;
      Say("the daemon ended at start-up with code " + std::to_string(code) + "; its last words:\n" +
          Tail(paths_.DaemonOutputFile(), 5) + Tail(paths_.DaemonLogFile(), 5));
      return -1;
    }
    if (Clock::now() > deadline) {
      Say("the daemon did not announce its port within " + std::to_string(kDaemonStartSeconds) + " seconds");
      lock.unlock();
      (void)SignalProcess(pid, SIGKILL);
      (void)WaitProcess(pid, 5000, nullptr);
      std::lock_guard<std::mutex> guard(daemon_mutex_);
      daemon_pid_ = 0;
      return -1;
    }
    port_cond_.wait_for(lock, std::chrono::milliseconds(100));
  }
  const int port = announced_port_;
  lock.unlock();
  std::lock_guard<std::mutex> guard(daemon_mutex_);
  daemon_port_ = port;
  return 0;
}

int Instance::SetUp() {
  std::string error;
  PObject reply;
  PObject link;
  link["action"] = "link";
  if (SendControl(daemon_port_, link, &reply, kControlTimeout, error) != 0) {
    Say("cannot link the daemon: " + error);
    return -1;
  }
  if (!ControlError(reply).empty()) {
    Say("the daemon refused to link: " + ControlError(reply) + "; see " + paths_.DaemonLogFile());
    return -1;
  }
  std::string ip;
  for (;;) {
    if (ResolveIPv4(connection_.host, ip, error) == 0) break;
    Say("cannot resolve '" + connection_.host + "' (" + error + "); trying again in 5 seconds");
    if (WaitSignal(5000) != 0) return -1;
  }
  PObject conn;
  conn["action"] = "link_connection";
  conn["connection_id"] = static_cast<unsigned long long>(connection_.connection_id);
  conn["server_ip"] = ip;
  conn["server_port"] = connection_.port;
  conn["session"] = connection_.token;
  conn["use_ssl"] = connection_.use_ssl;
  conn["ssl_ca_file"] = connection_.ca_file;
  conn["computer_name"] = connection_.client_name;
  if (SendControl(daemon_port_, conn, &reply, kControlTimeout, error) != 0 || !ControlError(reply).empty()) {
    Say("the daemon refused the connection settings: " + (error.empty() ? ControlError(reply) : error));
    return -1;
  }
  std::string report;
  Reconcile(report);
  if (!report.empty()) Say(report);
  return 0;
}

void Instance::Reconcile(std::string& report) {
  std::lock_guard<std::mutex> lock(daemon_mutex_);
  ReconcileLocked(report);
}

void Instance::ReconcileLocked(std::string& report) {
  std::vector<std::string> lines;
  std::string error;
  std::vector<SessionRecord> stored;
  if (LoadSessions(paths_, stored, error) != 0) {
    report = "cannot read the sessions: " + error;
    return;
  }
  if (daemon_port_ == 0) {
    report = "the daemon is not running";
    return;
  }
  sessions_ = stored;
  // Sessions the store no longer names, and sessions whose folder vanished
  // (an unmounted disk), leave the daemon (paused first, as the daemon
  // requires); a vanished folder comes back below once it is there again.
  for (auto it = loaded_.begin(); it != loaded_.end();) {
    auto record = FindSessionById(stored, *it);
    if (record && IsFolder(record->folder)) {
      ++it;
      continue;
    }
    PObject req, reply;
    req["action"] = "pause";
    req["session_id"] = static_cast<unsigned long long>(*it);
    (void)SendControl(daemon_port_, req, &reply, kControlTimeout, error);
    req["action"] = "remove_session";
    if (SendControl(daemon_port_, req, &reply, kControlTimeout, error) != 0 || !ControlError(reply).empty()) {
      lines.push_back("cannot remove session " + std::to_string(*it) + ": " +
                      (error.empty() ? ControlError(reply) : error));
      ++it;
      continue;
    }
    if (record) {
      missing_.insert(*it);
      lines.push_back(record->folder + " is gone; it is not synchronised until it is back (nothing is removed on the server)");
    } else {
      lines.push_back("stopped syncing session " + std::to_string(*it));
    }
    it = loaded_.erase(it);
  }
  for (const SessionRecord& s : stored) {
    if (loaded_.count(s.id)) continue;
    const std::string name =
        !options_.home.empty() && s.folder.rfind(options_.home + "/", 0) == 0 ? "~" + s.folder.substr(options_.home.size())
                                                                            : s.folder;
    if (!IsFolder(s.folder)) {
      // Never read a missing root as "everything was deleted": the session
      // waits until the folder is back.
      if (missing_.insert(s.id).second) {
        lines.push_back(name + " is missing; it is not synchronised until it is back (nothing is removed on the server)");
      }
      continue;
    }
    const std::string dir = paths_.SessionDir(s.id);
    if (access(BlackListFile(dir).c_str(), F_OK) != 0 || access(WhiteListFile(dir).c_str(), F_OK) != 0) {
      if (CreateSessionFolder(dir, error) != 0) {
        lines.push_back(name + ": " + error);
        continue;
      }
    }
    PObject req, reply;
    req["action"] = "add_session";
    req["connection_id"] = static_cast<unsigned long long>(connection_.connection_id);
    req["session_id"] = static_cast<unsigned long long>(s.id);
    req["view_id"] = static_cast<unsigned long long>(s.view);
    req["config_path"] = dir;
    req["sync_folder"] = s.folder;
    req["remote_path"] = s.remote_path == "/" ? std::string() : s.remote_path;
    if (SendControl(daemon_port_, req, &reply, kControlTimeout, error) != 0 || !ControlError(reply).empty()) {
      lines.push_back(name + ": the daemon refused the folder: " + (error.empty() ? ControlError(reply) : error) +
                      "; see " + paths_.DaemonLogFile());
      continue;
    }
    loaded_.insert(s.id);
    const bool was_missing = missing_.erase(s.id) > 0;
    if (!s.paused) {
      PObject resume;
      resume["action"] = "resume";
      resume["session_id"] = static_cast<unsigned long long>(s.id);
      if (SendControl(daemon_port_, resume, &reply, kControlTimeout, error) != 0) {
        lines.push_back(name + ": cannot resume: " + error);
        continue;
      }
    }
    lines.push_back(name + (was_missing ? " is back; " : ": ") +
                    (s.paused ? "loaded, paused" : "syncing with view " + std::to_string(s.view) + " " + s.remote_path));
  }
  for (const std::string& l : lines) report += (report.empty() ? "" : "\n          ") + l;
}

void Instance::StopDaemon(int grace_seconds) {
  std::lock_guard<std::mutex> lock(daemon_mutex_);
  if (daemon_pid_ <= 0) return;
  std::string error;
  PObject stop;
  stop["action"] = "stop";
  if (daemon_port_ > 0) (void)SendControl(daemon_port_, stop, nullptr, 10, error);
  const auto deadline = Clock::now() + std::chrono::seconds(grace_seconds);
  bool forced = false;
  for (;;) {
    if (WaitProcess(daemon_pid_, 250, nullptr) != 0) break;
    if (WaitSignal(0) == SIGINT || Clock::now() > deadline) {
      if (forced) {
        (void)SignalProcess(daemon_pid_, SIGKILL);
        (void)WaitProcess(daemon_pid_, 5000, nullptr);
        break;
      }
      Say("the daemon takes long to stop; ending it");
      (void)SignalProcess(daemon_pid_, SIGTERM);
      forced = true;
    }
  }
  daemon_pid_ = 0;
  daemon_port_ = 0;
  loaded_.clear();
}

int Instance::Run() {
  // Block the stop signals before any thread exists, so every thread
  // inherits the mask and only sigtimedwait below receives them.
  sigset_t stops = StopSignals();
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  signal(SIGPIPE, SIG_IGN);

  InstanceLock lock;
  int got = lock.TryAcquire(paths_.LockFile());
  if (got != 1) {
    RuntimeInfo other;
    if (got == 0 && ReadRuntimeFile(paths_, other) == 1) {
      Say("tidewell is already running (pid " + std::to_string(other.pid) + "); stop it with `tidewell stop`");
    } else {
      Say(got == 0 ? "tidewell is already running" : "cannot take the lock '" + paths_.LockFile() + "'");
    }
    return 1;
  }
  std::string error;
  if (LoadConnection(paths_, connection_, error) != 1) {
    Say(error.empty() ? "no server yet: run `tidewell login HOST:PORT --token T` first" : error);
    return 1;
  }
  // A daemon that a killed instance left behind would share our sessions'
  // databases with the one we start: end it first.
  RuntimeInfo stale;
  if (ReadRuntimeFile(paths_, stale) == 1 && stale.daemon_pid > 0 &&
      ProcessCommandLine(stale.daemon_pid).find("tidewell-daemon") != std::string::npos) {
    Say("ending the daemon (pid " + std::to_string(stale.daemon_pid) + ") that a previous run left behind");
    daemon_pid_ = stale.daemon_pid;
    daemon_port_ = stale.daemon_port;
    PObject stop;
    stop["action"] = "stop";
    if (daemon_port_ > 0) (void)SendControl(daemon_port_, stop, nullptr, 10, error);
    for (int i = 0; i < 120 && ProcessExists(daemon_pid_); ++i) WaitSignal(250);
    if (ProcessExists(daemon_pid_)) (void)SignalProcess(daemon_pid_, SIGKILL);
    daemon_pid_ = 0;
    daemon_port_ = 0;
  }
  if (listener_.Start([this](const PObject& m, PObject& r) { OnMessage(m, r); }) < 0) {
    Say("cannot open a loopback port for the daemon's notices");
    return 1;
  }

  std::vector<Clock::time_point> crashes;
  int exit_code = 0;
  bool stopping = false;
  while (!stopping) {
    if (StartDaemon() != 0 || SetUp() != 0) {
      StopDaemon(30);
      exit_code = 1;
      break;
    }
    (void)WriteState(true);
    Say("tidewell is running: " + std::to_string(loaded_.size()) + " of " + std::to_string(sessions_.size()) +
        " folders syncing with " + connection_.host + ":" + std::to_string(connection_.port));
    auto next_check = Clock::now() + std::chrono::seconds(5);
    for (;;) {
      int sig = WaitSignal(500);
      if (sig != 0) {
        Say(std::string("stopping (") + (sig == SIGINT ? "interrupted" : strsignal(sig)) + ")");
        stopping = true;
        break;
      }
      for (const std::string& line : digest_.Flush([this](uint64_t id) { return Name(id); })) Say(line);
      int code = 0;
      if (WaitProcess(daemon_pid_, 0, &code) == 1) {
        std::lock_guard<std::mutex> guard(daemon_mutex_);
        Say("the daemon ended unexpectedly (" +
            (code > 128 ? "signal " + std::to_string(code - 128) + ", " + strsignal(code - 128)
                         : "exit code " + std::to_string(code)) +
            "); its last words:\n" + Tail(paths_.DaemonLogFile(), 5));
        daemon_pid_ = 0;
        daemon_port_ = 0;
        loaded_.clear();
        missing_.clear();
        break;
      }
      if (Clock::now() >= next_check) {
        next_check = Clock::now() + std::chrono::seconds(5);
        // A folder that is missing, or one that went away: reconcile.
        bool changed = false;
        {
          std::lock_guard<std::mutex> guard(daemon_mutex_);
          changed = !missing_.empty();
          for (const SessionRecord& s : sessions_) changed |= loaded_.count(s.id) > 0 && !IsFolder(s.folder);
        }
        if (changed) {
          std::string report;
          Reconcile(report);
          if (!report.empty()) Say(report);
        }
      }
    }
    if (stopping) break;
    // Restart, unless it keeps dying.
    crashes.push_back(Clock::now());
    while (!crashes.empty() && Clock::now() - crashes.front() > kCrashWindow) crashes.erase(crashes.begin());
    if (static_cast<int>(crashes.size()) >= kMaxCrashes) {
      Say("the daemon died " + std::to_string(crashes.size()) + " times in two minutes; giving up. See " +
          paths_.DaemonLogFile());
      exit_code = 1;
      break;
    }
    const int delay_ms = 500 << (crashes.size() - 1);
    Say("restarting the daemon in " + std::to_string(delay_ms / 1000.0).substr(0, 3) + " s");
    if (WaitSignal(delay_ms) != 0) break;
  }
  (void)WriteState(false);
  StopDaemon(60);
  for (const std::string& line : digest_.Flush([this](uint64_t id) { return Name(id); })) Say(line);
  listener_.Stop();
  RemoveRuntimeInfo(paths_);
  Say(exit_code == 0 ? "tidewell stopped" : "tidewell stopped after an error");
  return exit_code;
}

}  // namespace tidewell::cli
