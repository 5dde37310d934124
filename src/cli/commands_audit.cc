// verify, conflicts and log: the commands that look and change nothing.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <thread>

#include "cli/command_support.h"
#include "cli/commands.h"
#include "cli/conflicts.h"
#include "cli/session_rules.h"
#include "cli/status_view.h"
#include "cli/verify.h"
#include "filter/black_list.h"
#include "filter/white_list_cpp.h"

namespace tidewell::cli {

namespace {

// Paths the daemon is working on right now: its syncing marks and its
// transfers. Empty when it does not run.
std::set<std::string> DaemonPending(const Context& c, const SessionRecord& s) {
  std::set<std::string> pending;
  RuntimeInfo info;
  if (ReadRuntimeInfo(c.paths, info) != 1 || !info.ready) return pending;
  (void)ReadSyncingPaths(c.paths.FileStatusDbFile(), s.folder, pending);
  PObject req, reply;
  req["action"] = "get_status";
  std::string error;
  if (TellDaemon(info, req, &reply, error) == 0) {
    for (const PObject& w : reply["worker_list"].asArray()) {
      if (w["session_id"].asUInt64() == s.id) pending.insert(w["path"].asStringRef().c_str_utf8());
    }
  }
  return pending;
}

}  // namespace

int CmdVerify(const Context& c, const std::string& dir, bool json) {
  auto failed = [&](const std::string& reason, const std::string& hint = "") {
    Fail(c, reason, hint);
    return 2;
  };
  auto connection = RequireConnection(c);
  if (!connection) return 2;
  auto sessions = RequireSessions(c);
  if (!sessions) return 2;
  auto s = RequireSession(c, *sessions, dir);
  if (!s) return 2;
  const std::string session_dir = c.paths.SessionDir(s->id);

  // The session's rules decide what takes part, as they do for the daemon.
  BlackList2 system_filter, black;
  WhiteListCpp white;
  if (system_filter.Load(ustring(c.paths.SystemFilterFile())) != 0) system_filter.Clear();
  if (black.Load(ustring(BlackListFile(session_dir))) != 0) {
    return failed("cannot read the rule file '" + BlackListFile(session_dir) + "'");
  }
  if (white.Load(ustring(WhiteListFile(session_dir))) != 0) {
    return failed("cannot read the rule file '" + WhiteListFile(session_dir) + "'");
  }
  ExcludedFn excluded = [&](const std::string& path, bool is_dir, uint64_t size) {
    const ustring p(path);
    if (is_dir) return system_filter.TestDirectoryPath(p) != 0 || black.TestDirectoryPath(p) != 0;
    const std::string name = path.substr(path.rfind('/') + 1);
    return system_filter.TestFilePath(p) != 0 || black.TestFilePath(p) != 0 || white.Test(ustring(name)) != 0 ||
           system_filter.TestFileSize(size) != 0 || black.TestFileSize(size) != 0;
  };

  std::set<std::string> pending = DaemonPending(c, *s);
  std::map<std::string, TreeItem> local, records;
  std::string error;
  size_t hashed = 0;
  auto progress = [&](const std::string&) {
    if (c.terminal && !json && ++hashed % 500 == 0) *c.err << "\rhashed " << hashed << " files" << std::flush;
  };
  if (ScanLocalTree(s->folder, local, error, progress) != 0) {
    return failed(error, "is the folder there (mounted)?");
  }
  if (c.terminal && !json && hashed >= 500) *c.err << "\r" << std::string(30, ' ') << "\r";
  const int have_records = ReadEventRecords(session_dir + "/db/event-db.sqlite", records, error);
  if (have_records < 0) return failed(error);
  ServerSession server;
  ServerProblem problem;
  std::map<std::string, ServerObject> remote;
  if (server.Open(*connection, s->view, problem) != 0 || server.ListTree(s->remote_path, remote, problem) != 0) {
    return failed("cannot list the server's copy: " + problem.reason, problem.hint);
  }
  server.Close();
  // What started while we looked is pending too.
  for (const std::string& p : DaemonPending(c, *s)) pending.insert(p);

  const std::vector<VerifyFinding> findings = CompareTrees(local, records, remote, pending, excluded);
  const nlohmann::json report = VerifyReport(s->folder, local, findings);
  const size_t mismatches = report["mismatches"].size();
  if (json) {
    *c.out << report.dump(2) << "\n";
  } else {
    *c.out << "verify " << Pretty(c, s->folder) << " <-> view " << s->view << " " << s->remote_path << ": "
           << report["files"].get<size_t>() << " files and " << report["folders"].get<size_t>()
           << " folders here, " << remote.size() << " items on the server\n";
    if (have_records == 0) *c.out << "  (no event database yet: this folder was never synchronised)\n";
    for (const VerifyFinding& f : findings) {
      *c.out << "  " << VerifyKindName(f.kind) << std::string(16 - std::string(VerifyKindName(f.kind)).size(), ' ')
             << f.path << "  " << f.detail << "\n";
    }
    if (mismatches == 0) {
      *c.out << (report["pending"].empty() ? "all in step\n"
                                           : "in step, apart from " + std::to_string(report["pending"].size()) +
                                                 " items the daemon is working on\n");
    } else {
      *c.out << mismatches << (mismatches == 1 ? " mismatch\n" : " mismatches\n");
    }
  }
  return mismatches == 0 ? 0 : 1;
}

int CmdConflicts(const Context& c, const std::string& dir, bool json) {
  auto sessions = RequireSessions(c);
  if (!sessions) return 1;
  std::vector<SessionRecord> chosen;
  if (!dir.empty()) {
    auto s = RequireSession(c, *sessions, dir);
    if (!s) return 1;
    chosen.push_back(*s);
  } else {
    chosen = *sessions;
  }
  nlohmann::json all = nlohmann::json::array();
  size_t count = 0;
  for (const SessionRecord& s : chosen) {
    std::vector<ConflictCopy> copies;
    if (FindConflictCopies(s.folder, copies) != 0) {
      *c.err << "tidewell: cannot list '" << Pretty(c, s.folder) << "' completely\n";
    }
    for (const ConflictCopy& copy : copies) {
      ++count;
      struct stat st;
      const bool original_there = lstat((s.folder + copy.original).c_str(), &st) == 0;
      if (json) {
        all.push_back({{"folder", s.folder},
                       {"path", copy.path},
                       {"original", copy.original},
                       {"original_exists", original_there},
                       {"client", copy.client},
                       {"reason", copy.reason},
                       {"size", copy.size}});
      } else {
        *c.out << Pretty(c, s.folder + copy.path) << "\n    copy of " << copy.original
               << (original_there ? "" : " (which is gone)") << ", kept by " << copy.client << ", "
               << HumanBytes(copy.size) << "\n";
      }
    }
  }
  if (json) *c.out << all.dump(2) << "\n";
  else if (count == 0) *c.out << "no conflict copies\n";
  return 0;
}

int CmdLog(const Context& c, int lines, bool follow, bool instance) {
  const std::string file = instance ? c.paths.InstanceLogFile() : c.paths.DaemonLogFile();
  std::ifstream in(file, std::ios::binary);
  if (!in) return Fail(c, "no log yet at '" + file + "'", "it appears once tidewell has run");
  std::vector<std::string> tail;
  std::string line;
  while (std::getline(in, line)) {
    tail.push_back(line);
    if (static_cast<int>(tail.size()) > lines) tail.erase(tail.begin());
  }
  for (const std::string& l : tail) *c.out << l << "\n";
  c.out->flush();
  if (!follow) return 0;
  in.close();
  struct stat first;
  if (stat(file.c_str(), &first) != 0) return 0;
  ino_t inode = first.st_ino;
  off_t at = first.st_size;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    struct stat now;
    if (stat(file.c_str(), &now) != 0) continue;
    if (now.st_ino != inode || now.st_size < at) {
      // Rotated: the daemon moved the file aside and began a new one.
      inode = now.st_ino;
      at = 0;
    }
    if (now.st_size == at) continue;
    std::ifstream more(file, std::ios::binary);
    more.seekg(at);
    std::string chunk(static_cast<size_t>(now.st_size - at), '\0');
    more.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    chunk.resize(static_cast<size_t>(more.gcount()));
    at += static_cast<off_t>(chunk.size());
    *c.out << chunk;
    c.out->flush();
  }
}

}  // namespace tidewell::cli
