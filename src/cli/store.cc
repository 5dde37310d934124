#include "cli/store.h"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "base/ustring.h"
#include "platform/durable_replace.h"
#include "platform/file_stat.h"

namespace tidewell::cli {

using nlohmann::json;

namespace {

// 1 read, 0 missing, -1 unreadable.
int ReadWhole(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return access(path.c_str(), F_OK) == 0 ? -1 : 0;
  std::ostringstream s;
  s << in.rdbuf();
  if (in.bad()) return -1;
  out = s.str();
  return 1;
}

int ParseFile(const std::string& path, json& out, std::string& error) {
  std::string text;
  int rc = ReadWhole(path, text);
  if (rc <= 0) {
    if (rc < 0) error = "cannot read '" + path + "'";
    return rc;
  }
  out = json::parse(text, nullptr, false);
  if (out.is_discarded() || !out.is_object()) {
    error = "'" + path + "' is not a valid settings file; fix or delete it";
    return -1;
  }
  return 1;
}

int WriteFile(const std::string& path, const json& value, int mode, std::string& error) {
  const std::string text = value.dump(2) + "\n";
  if (DurableReplaceContent(ustring(path), text, mode) != 0) {
    error = "cannot write '" + path + "'";
    return -1;
  }
  return 0;
}

// Typed field readers that never throw: a missing or mistyped field keeps
// the default and marks the file broken.
struct Reader {
  const json& j;
  bool ok = true;
  std::string Str(const char* key, const std::string& def = "") {
    if (!j.contains(key)) return def;
    if (!j[key].is_string()) return ok = false, def;
    return j[key].get<std::string>();
  }
  uint64_t U64(const char* key, uint64_t def = 0) {
    if (!j.contains(key)) return def;
    if (!j[key].is_number_unsigned()) return ok = false, def;
    return j[key].get<uint64_t>();
  }
  bool Bool(const char* key, bool def = false) {
    if (!j.contains(key)) return def;
    if (!j[key].is_boolean()) return ok = false, def;
    return j[key].get<bool>();
  }
};

}  // namespace

int LoadConnection(const Paths& paths, ConnectionSettings& out, std::string& error) {
  json j;
  int rc = ParseFile(paths.ConnectionFile(), j, error);
  if (rc <= 0) return rc;
  Reader r{j};
  ConnectionSettings c;
  c.host = r.Str("host");
  c.port = static_cast<int>(r.U64("port"));
  c.token = r.Str("token");
  c.view = r.U64("view", 1);
  c.use_ssl = r.Bool("ssl");
  c.ca_file = r.Str("ca_file");
  c.connection_id = r.U64("connection_id", 1);
  c.client_name = r.Str("client_name");
  if (!r.ok || c.host.empty() || c.port <= 0 || c.port > 65535 || c.token.empty()) {
    error = "'" + paths.ConnectionFile() + "' is incomplete; run `tidewell login` again";
    return -1;
  }
  out = c;
  return 1;
}

int SaveConnection(const Paths& paths, const ConnectionSettings& c, std::string& error) {
  json j = {{"host", c.host},   {"port", c.port},   {"token", c.token},
            {"view", c.view},   {"ssl", c.use_ssl}, {"ca_file", c.ca_file},
            {"connection_id", c.connection_id},     {"client_name", c.client_name}};
  return WriteFile(paths.ConnectionFile(), j, 0600, error);
}

int LoadSessions(const Paths& paths, std::vector<SessionRecord>& out, std::string& error) {
  out.clear();
  json j;
  int rc = ParseFile(paths.SessionsFile(), j, error);
  if (rc <= 0) return rc;
  if (!j.contains("sessions") || !j["sessions"].is_array()) {
    error = "'" + paths.SessionsFile() + "' holds no session list; fix or delete it";
    return -1;
  }
  for (const json& item : j["sessions"]) {
    if (!item.is_object()) {
      error = "'" + paths.SessionsFile() + "' holds a broken session entry";
      return -1;
    }
    Reader r{item};
    SessionRecord s;
    s.id = r.U64("id");
    s.folder = r.Str("folder");
    s.remote_path = r.Str("remote_path", "/");
    s.view = r.U64("view", 1);
    s.paused = r.Bool("paused");
    if (!r.ok || s.id == 0 || s.folder.empty() || s.folder[0] != '/' || s.remote_path.empty() ||
        s.remote_path[0] != '/') {
      error = "'" + paths.SessionsFile() + "' holds a broken session entry";
      return -1;
    }
    out.push_back(s);
  }
  return 0;
}

int SaveSessions(const Paths& paths, const std::vector<SessionRecord>& in, std::string& error) {
  json list = json::array();
  for (const SessionRecord& s : in) {
    list.push_back({{"id", s.id},
                    {"folder", s.folder},
                    {"remote_path", s.remote_path},
                    {"view", s.view},
                    {"paused", s.paused}});
  }
  return WriteFile(paths.SessionsFile(), json{{"sessions", list}}, 0600, error);
}

std::optional<SessionRecord> FindSession(const std::vector<SessionRecord>& sessions, const std::string& folder) {
  for (const SessionRecord& s : sessions) {
    if (s.folder == folder) return s;
  }
  return std::nullopt;
}

std::optional<SessionRecord> FindSessionById(const std::vector<SessionRecord>& sessions, uint64_t id) {
  for (const SessionRecord& s : sessions) {
    if (s.id == id) return s;
  }
  return std::nullopt;
}

uint64_t NextSessionId(const std::vector<SessionRecord>& sessions) {
  uint64_t top = 0;
  for (const SessionRecord& s : sessions) top = std::max(top, s.id);
  return top + 1;
}

std::string CanonicalFolder(const std::string& path) {
  std::string abs = path;
  if (abs.empty() || abs[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return path;
    abs = std::string(cwd) + "/" + abs;
  }
  ustring real(abs);
  if (FSGetRealPath(real) == 0) return real.c_str_utf8();
  // Lexical clean-up for a path that does not exist (yet).
  std::vector<std::string> parts;
  std::istringstream in(abs);
  std::string part;
  while (std::getline(in, part, '/')) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string out;
  for (const std::string& p : parts) out += "/" + p;
  return out.empty() ? "/" : out;
}

StoreLock::StoreLock(const Paths& paths) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    int rc = lock_.TryAcquire(paths.StoreLockFile());
    if (rc != 0) {
      ok_ = rc == 1;
      return;
    }
    if (std::chrono::steady_clock::now() > deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace tidewell::cli
