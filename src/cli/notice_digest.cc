#include "cli/notice_digest.h"

#include "base/error_code.h"

namespace tidewell::cli {

using nlohmann::json;

namespace {

constexpr size_t kSamples = 3;

const char* ChangeWord(int event_type) {
  switch (event_type) {
    case 1:
      return "added";
    case 2:
      return "removed";
    case 3:
      return "changed";
    case 4:
      return "renamed";
    default:
      return "synchronised";
  }
}

std::string Plural(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Samples(const std::vector<std::string>& samples, uint64_t count) {
  std::string out;
  for (const std::string& s : samples) out += (out.empty() ? ": " : ", ") + s;
  if (count > samples.size()) out += ", and " + std::to_string(count - samples.size()) + " more";
  return out;
}

}  // namespace

std::string DescribeErrorCode(int code) {
  switch (code) {
    case ERR_IO:
      return "cannot reach the server";
    case ERR_AUTH:
      return "the server does not accept the token";
    case ERR_VERSION:
      return "the server refuses this client's version";
    case ERR_QUOTA:
      return "the quota on the server is used up";
    case ERR_DISKFULL:
      return "the server's disk is full";
    case ERR_SYNCFOLDER_MISS:
      return "the local folder is missing";
    case ERR_VIEW:
      return "the view on the server is missing";
    case ERR_VIEW_PATH:
      return "the server folder of the session is missing";
    case ERR_PERMISS:
      return "no permission on the server";
    case ERR_LOCAL_DISKFULL:
      return "the local disk is full";
    case ERR_LOCKED_FILE:
      return "a file is locked or not readable";
    default:
      return std::string(GetErrorString(code)) + " (" + std::to_string(code) + ")";
  }
}

void NoticeDigest::Add(const PObject& notice, time_t now) {
  const std::string kind = notice["notify"].asStringRef().c_str_utf8();
  const uint64_t count = notice.hasMember("count") && notice["count"].asUInt64() > 0 ? notice["count"].asUInt64() : 1;
  const uint64_t session = notice["session_id"].asUInt64();
  const std::string path = notice["path"].asStringRef().c_str_utf8();
  std::lock_guard<std::mutex> lock(mutex_);
  if (kind == "recent_file") {
    const int type = notice["event_type"].asInt32();
    Group& g = pending_[{session, type}];
    g.count += count;
    if (g.samples.size() < kSamples && !path.empty()) g.samples.push_back(path);
    SessionTotals& t = sessions_[session];
    t.synced += count;
    t.last_path = path;
    t.last_time = now;
    t.locked.erase(path);
  } else if (kind == "locked_file") {
    Group& g = pending_locked_[{session, path}];
    g.count += count;
    sessions_[session].locked.insert(path);
  } else if (kind == "error") {
    const int code = notice["error_type"].asInt32();
    ErrorSeen* seen;
    int64_t scope;
    if (notice.hasMember("session_id")) {
      seen = &sessions_[session].errors[code];
      scope = static_cast<int64_t>(session);
    } else {
      seen = &connection_errors_[code];
      scope = -1;
    }
    seen->count += count;
    seen->total += count;
    seen->last = now;
    errors_to_print_.insert({scope, code});
  }
}

std::vector<std::string> NoticeDigest::Flush(const SessionNamer& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> lines;
  for (const auto& [scope, code] : errors_to_print_) {
    ErrorSeen& seen = scope < 0 ? connection_errors_[code] : sessions_[static_cast<uint64_t>(scope)].errors[code];
    std::string where = scope < 0 ? "connection" : name(static_cast<uint64_t>(scope));
    std::string line = where + ": error: " + DescribeErrorCode(code);
    if (seen.count > 1) line += " (" + Plural(seen.count, "time", "times") + ")";
    lines.push_back(line);
    seen.count = 0;
  }
  errors_to_print_.clear();
  for (const auto& [key, g] : pending_locked_) {
    std::string line = name(key.first) + ": locked, will retry: " + key.second;
    if (g.count > 1) line += " (" + Plural(g.count, "time", "times") + ")";
    lines.push_back(line);
  }
  pending_locked_.clear();
  for (const auto& [key, g] : pending_) {
    lines.push_back(name(key.first) + ": " + ChangeWord(key.second) + " " + Plural(g.count, "item", "items") +
                    Samples(g.samples, g.count));
  }
  pending_.clear();
  return lines;
}

json NoticeDigest::Summary(time_t now, time_t error_window) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto errors = [&](const std::map<int, ErrorSeen>& m) {
    json list = json::array();
    for (const auto& [code, seen] : m) {
      if (now - seen.last > error_window) continue;
      list.push_back({{"code", code}, {"text", DescribeErrorCode(code)}, {"count", seen.total}, {"time", seen.last}});
    }
    return list;
  };
  json out = json::object();
  json sessions = json::object();
  for (const auto& [id, t] : sessions_) {
    sessions[std::to_string(id)] = {{"synced", t.synced},
                                    {"last_synced", t.last_path},
                                    {"last_synced_time", t.last_time},
                                    {"errors", errors(t.errors)},
                                    {"locked", json(std::vector<std::string>(t.locked.begin(), t.locked.end()))}};
  }
  out["sessions"] = sessions;
  out["connection_errors"] = errors(connection_errors_);
  return out;
}

}  // namespace tidewell::cli
