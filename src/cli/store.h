// The front end's settings: the server connection (connection.json, mode
// 0600 since it holds the token) and the list of sessions (sessions.json),
// both in the configuration folder, both replaced durably on every save.
//
// The functions are stateless; callers that read, change and write back
// hold a StoreLock so that two commands cannot lose each other's change.

#ifndef TIDEWELL_CLI_STORE_H_
#define TIDEWELL_CLI_STORE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/xdg_paths.h"
#include "platform/instance_lock.h"

namespace tidewell::cli {

// Where the server is and how to talk to it.
struct ConnectionSettings {
  std::string host;        // as the user wrote it; resolved at every start
  int port = 0;
  std::string token;       // the session token the server issued
  uint64_t view = 1;       // default view of new sessions
  bool use_ssl = false;
  std::string ca_file;     // absolute; empty accepts any certificate
  uint64_t connection_id = 1;
  std::string client_name; // names this computer in conflict copies
};

// One local folder kept in step with one server folder.
struct SessionRecord {
  uint64_t id = 0;
  std::string folder;            // absolute, canonical
  std::string remote_path = "/"; // in the view, beginning with "/"
  uint64_t view = 1;
  bool paused = false;           // stays paused across restarts
};

// 1 loaded, 0 no connection stored yet, -1 unreadable or broken (`error`).
[[nodiscard]] int LoadConnection(const Paths& paths, ConnectionSettings& out, std::string& error);
// 0, or -1 with `error`.
[[nodiscard]] int SaveConnection(const Paths& paths, const ConnectionSettings& in, std::string& error);

// 0 (an empty list when no file exists yet), or -1 with `error`.
[[nodiscard]] int LoadSessions(const Paths& paths, std::vector<SessionRecord>& out, std::string& error);
[[nodiscard]] int SaveSessions(const Paths& paths, const std::vector<SessionRecord>& in, std::string& error);

// The session whose folder is `folder` (already canonical), if any.
std::optional<SessionRecord> FindSession(const std::vector<SessionRecord>& sessions, const std::string& folder);

// The session with identifier `id`, if any.
std::optional<SessionRecord> FindSessionById(const std::vector<SessionRecord>& sessions, uint64_t id);

// An identifier no listed session uses (one more than the highest).
uint64_t NextSessionId(const std::vector<SessionRecord>& sessions);

// `path` made absolute against the working folder and canonical when it
// exists (symbolic links resolved); otherwise cleaned of "." and ".." and
// repeated or trailing "/" as text.
std::string CanonicalFolder(const std::string& path);

// Holds the store's lock file for its lifetime (waiting up to 10 seconds).
class StoreLock {
 public:
  explicit StoreLock(const Paths& paths);
  bool ok() const { return ok_; }

 private:
  InstanceLock lock_;
  bool ok_ = false;
};

}  // namespace tidewell::cli

#endif  // TIDEWELL_CLI_STORE_H_
