// run, start, stop, pause, resume and status: the commands that drive the
// daemon through the running instance.

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <thread>

#include "cli/command_support.h"
#include "cli/commands.h"
#include "cli/instance.h"
#include "cli/session_rules.h"
#include "cli/status_view.h"
#include "platform/file_stat.h"
#include "platform/instance_lock.h"
#include "platform/process.h"

namespace tidewell::cli {

namespace {

using Clock = std::chrono::steady_clock;

std::string TailOf(const std::string& file, size_t lines) {
  std::ifstream in(file);
  std::vector<std::string> all;
  std::string line;
  while (std::getline(in, line)) all.push_back(line);
  std::string out;
  for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i) out += "  " + all[i] + "\n";
  return out;
}

// One status model; with transfers running the daemon is asked twice, a
// second apart, to measure their rates.
int TakeStatus(const Context& c, const PObject* previous, double since_previous, nlohmann::json& status,
               PObject& sample) {
  StatusInput in;
  in.home = c.home;
  in.now = time(nullptr);
  ConnectionSettings connection;
  std::string error;
  if (LoadConnection(c.paths, connection, error) == 1) {
    in.server = connection.host + ":" + std::to_string(connection.port);
  }
  if (LoadSessions(c.paths, in.sessions, error) != 0) return Fail(c, error);
  for (const SessionRecord& s : in.sessions) {
    std::vector<std::string> excluded;
    if (ExcludedFolders(BlackListFile(c.paths.SessionDir(s.id)), excluded) == 0) in.excluded[s.id] = excluded;
    FILE_INFO root;
    if (FSStat(ustring(s.folder), root, false) != 0 || !root.isExist || root.type != FT_DIR) in.missing.insert(s.id);
  }
  RuntimeInfo info;
  int running = FindInstance(c, info);
  if (running < 0) return 1;
  in.running = running == 1;
  if (in.running) {
    PObject req;
    req["action"] = "get_status";
    if (TellDaemon(info, req, &in.daemon, error) != 0) return Fail(c, "the daemon did not report: " + error);
    if (previous != nullptr) {
      in.earlier = *previous;
      in.seconds_between = since_previous;
    } else if (in.daemon["worker_list"].size() > 0) {
      in.earlier = in.daemon;
      std::this_thread::sleep_for(std::chrono::seconds(1));
      in.seconds_between = 1;
      if (TellDaemon(info, req, &in.daemon, error) != 0) return Fail(c, "the daemon did not report: " + error);
    }
    PObject summary;
    if (AskInstance(info, "front_end_status", summary, error) == 0) {
      in.notices = nlohmann::json::parse(summary["summary"].asStringRef().c_str_utf8(), nullptr, false);
      if (in.notices.is_discarded()) in.notices = nullptr;
    }
  }
  sample = in.daemon;
  status = BuildStatus(in);
  return 0;
}

void Show(const Context& c, const nlohmann::json& status, bool json) {
  if (json) *c.out << status.dump(2) << "\n";
  else if (c.terminal) *c.out << RenderTerminal(status, c.width);
  else *c.out << RenderPlain(status);
  c.out->flush();
}

}  // namespace

int CmdRun(const Context& c, int workers) {
  RunOptions o;
  o.daemon_program = c.daemon_program;
  o.worker_count = workers;
  o.home = c.home;
  Instance instance(c.paths, o, *c.out);
  return instance.Run();
}

int CmdStart(const Context& c, int workers) {
  RuntimeInfo info;
  int running = FindInstance(c, info);
  if (running == 1) {
    *c.out << "tidewell is already running (pid " << info.pid << ")\n";
    return 0;
  }
  if (running < 0) return 1;
  if (!RequireConnection(c)) return 1;
  SpawnOptions spawn;
  spawn.argv = {c.self_program, "run", "--workers", std::to_string(workers)};
  spawn.output_file = c.paths.InstanceLogFile();
  spawn.new_session = true;
  pid_t pid = SpawnProcess(spawn);
  if (pid < 0) return Fail(c, "cannot start '" + c.self_program + "': " + strerror(errno));
  const auto deadline = Clock::now() + std::chrono::seconds(90);
  for (;;) {
    int code = 0;
    if (WaitProcess(pid, 100, &code) == 1) {
      return Fail(c, "tidewell stopped right after starting; its last words:\n" + TailOf(c.paths.InstanceLogFile(), 6),
                  "see `tidewell log --instance`");
    }
    if (ReadRuntimeInfo(c.paths, info) == 1 && info.pid == pid && info.ready) break;
    if (Clock::now() > deadline) {
      return Fail(c, "tidewell (pid " + std::to_string(pid) + ") did not get ready within 90 seconds",
                  "see `tidewell log --instance`");
    }
  }
  *c.out << "tidewell started (pid " << pid << "); `tidewell status` shows what it does\n";
  return 0;
}

int CmdStop(const Context& c) {
  RuntimeInfo info;
  int rc = ReadRuntimeInfo(c.paths, info);
  if (rc == 0) {
    *c.out << "tidewell is not running\n";
    return 0;
  }
  // A starting instance writes its file within moments.
  const auto file_deadline = Clock::now() + std::chrono::seconds(10);
  while (rc < 0 && Clock::now() < file_deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    rc = ReadRuntimeInfo(c.paths, info);
  }
  if (rc == 0) {
    *c.out << "tidewell is not running\n";
    return 0;
  }
  if (rc < 0 || SignalProcess(info.pid, SIGTERM) != 0) {
    return Fail(c, "cannot reach the running tidewell", "see `tidewell log --instance`");
  }
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  while (IsInstanceLockHeld(c.paths.LockFile()) != 0) {
    if (Clock::now() > deadline) return Fail(c, "tidewell (pid " + std::to_string(info.pid) + ") did not stop in time");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  *c.out << "tidewell stopped\n";
  return 0;
}

int CmdPause(const Context& c, const std::string& dir, bool pause, bool confirm_removals) {
  std::optional<SessionRecord> only;
  {
    StoreLock lock(c.paths);
    if (!lock.ok()) return Fail(c, "another tidewell command is changing the settings; try again");
    auto sessions = RequireSessions(c);
    if (!sessions) return 1;
    if (!dir.empty()) {
      only = RequireSession(c, *sessions, dir);
      if (!only) return 1;
    } else if (sessions->empty()) {
      return Fail(c, "no folders yet", "add one with `tidewell add DIR`");
    }
    for (SessionRecord& s : *sessions) {
      if (!only || s.id == only->id) s.paused = pause;
    }
    std::string error;
    if (SaveSessions(c.paths, *sessions, error) != 0) return Fail(c, error);
  }
  const std::string what = only ? Pretty(c, only->folder) : "all folders";
  RuntimeInfo info;
  int running = FindInstance(c, info);
  if (running < 0) return 1;
  if (running == 0) {
    *c.out << what << (pause ? " will stay paused" : " will sync") << " when tidewell starts\n";
    return 0;
  }
  PObject req;
  req["action"] = pause ? "pause" : "resume";
  if (only) req["session_id"] = static_cast<unsigned long long>(only->id);
  if (!pause && confirm_removals) req["confirm_removals"] = true;
  std::string error;
  if (TellDaemon(info, req, nullptr, error) != 0) return Fail(c, "the daemon refused: " + error);
  *c.out << what << (pause ? " paused" : " resumed") << (confirm_removals ? ", held removals confirmed" : "") << "\n";
  return 0;
}

int CmdStatus(const Context& c, bool json, bool watch) {
  nlohmann::json status;
  PObject sample;
  if (TakeStatus(c, nullptr, 0, status, sample) != 0) return 1;
  Show(c, status, json);
  if (!watch) return 0;
  for (;;) {
    const auto taken = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    PObject previous = sample;
    const double since = std::chrono::duration<double>(Clock::now() - taken).count();
    if (TakeStatus(c, &previous, since, status, sample) != 0) return 1;
    if (c.terminal && !json) *c.out << "\033[H\033[2J";
    else *c.out << "\n";
    Show(c, status, json);
  }
}

}  // namespace tidewell::cli
