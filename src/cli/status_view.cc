#include "cli/status_view.h"

#include <cinttypes>
#include <cstdio>

#include "cli/notice_digest.h"

namespace tidewell::cli {

using nlohmann::json;

namespace {

std::string ShortFolder(const std::string& folder, const std::string& home) {
  if (!home.empty() && home != "/" && (folder == home || folder.rfind(home + "/", 0) == 0)) {
    return "~" + folder.substr(home.size());
  }
  return folder;
}

const PObject* FindById(const PObject& list, const char* key, uint64_t id) {
  for (const PObject& item : list.asArray()) {
    if (item[key].asUInt64() == id) return &item;
  }
  return nullptr;
}

// The daemon reports held removals as a count or as a list of paths.
uint64_t HeldCount(const PObject& held) {
  if (held.isArray()) return held.size();
  return held.asUInt64();
}

std::string ErrorText(const PObject& e) {
  if (e.isString()) return e.asStringRef().c_str_utf8();
  if (e.isInteger()) return e.asInt32() == 0 ? "" : DescribeErrorCode(e.asInt32());
  if (e.isMap()) {
    if (e.hasMember("text")) return e["text"].asStringRef().c_str_utf8();
    if (e.hasMember("code")) return DescribeErrorCode(e["code"].asInt32());
  }
  return "";
}

std::string Clock(time_t t) {
  if (t == 0) return "";
  struct tm tm;
  localtime_r(&t, &tm);
  char buf[16];
  strftime(buf, sizeof buf, "%H:%M:%S", &tm);
  return buf;
}

std::string Duration(uint64_t seconds) {
  char buf[32];
  if (seconds < 60) snprintf(buf, sizeof buf, "%" PRIu64 "s", seconds);
  else if (seconds < 3600) snprintf(buf, sizeof buf, "%" PRIu64 "m%02" PRIu64 "s", seconds / 60, seconds % 60);
  else snprintf(buf, sizeof buf, "%" PRIu64 "h%02" PRIu64 "m", seconds / 3600, seconds / 60 % 60);
  return buf;
}

std::string Bar(double fraction, int width) {
  if (width < 4) width = 4;
  if (fraction < 0) fraction = 0;
  if (fraction > 1) fraction = 1;
  int filled = static_cast<int>(fraction * width + 0.5);
  return "[" + std::string(filled, '#') + std::string(width - filled, '-') + "]";
}

std::string Fit(const std::string& s, size_t width) {
  if (s.size() <= width || width < 4) return s;
  return "..." + s.substr(s.size() - (width - 3));
}

}  // namespace

std::string HumanBytes(uint64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double v = static_cast<double>(bytes);
  int unit = 0;
  while (v >= 1024 && unit < 4) {
    v /= 1024;
    ++unit;
  }
  char buf[32];
  if (unit == 0) snprintf(buf, sizeof buf, "%" PRIu64 " B", bytes);
  else snprintf(buf, sizeof buf, "%.1f %s", v, kUnits[unit]);
  return buf;
}

json BuildStatus(const StatusInput& in) {
  json out;
  out["running"] = in.running;
  out["server"] = in.server;
  std::string connection = in.running ? "unknown" : "not running";
  if (in.running && in.daemon.hasMember("connection_list") && in.daemon["connection_list"].size() > 0) {
    connection = in.daemon["connection_list"][0]["status"].asStringRef().c_str_utf8();
  }
  out["connection"] = connection;
  const json* summary = in.notices.is_object() && in.notices.contains("sessions") ? &in.notices["sessions"] : nullptr;

  json sessions = json::array();
  std::map<uint64_t, std::string> folders;
  for (const SessionRecord& s : in.sessions) {
    folders[s.id] = s.folder;
    json j = {{"id", s.id},       {"folder", s.folder}, {"remote_path", s.remote_path},
              {"view", s.view},   {"paused", s.paused}, {"pending", 0},
              {"last_error", ""}, {"held_removals", 0}};
    auto ex = in.excluded.find(s.id);
    j["excluded"] = ex == in.excluded.end() ? json::array() : json(ex->second);
    const PObject* d = in.running ? FindById(in.daemon["session_list"], "session_id", s.id) : nullptr;
    std::string state;
    if (!in.running) {
      state = s.paused ? "paused" : "stopped";
    } else if (d == nullptr) {
      // The front end hands the daemon no folder that is missing.
      state = in.missing.count(s.id) ? "folder missing" : "not loaded";
    } else {
      j["pending"] = (*d)["unfinished_files"].asUInt64();
      j["last_error"] = ErrorText((*d)["last_error"]);
      j["held_removals"] = HeldCount((*d)["held_removals"]);
      // The daemon's state word: "ok", "paused", "error" or "held"; "ok"
      // is told apart by whether events wait.
      std::string word = (*d)["state"].asStringRef().c_str_utf8();
      if (word.empty() || word == "ok") {
        word = s.paused && word.empty() ? "paused"
               : (*d)["status"].asStringRef() == ustring("syncing") ? "syncing"
                                                                     : "up to date";
      }
      state = word;
    }
    j["state"] = state;
    if (in.missing.count(s.id) && j["last_error"].get<std::string>().empty()) {
      j["last_error"] = "the folder is missing; nothing is synchronised or removed until it is back";
    }
    if (summary != nullptr && summary->contains(std::to_string(s.id))) {
      const json& n = (*summary)[std::to_string(s.id)];
      j["synced"] = n.value("synced", 0);
      j["last_synced"] = n.value("last_synced", "");
      j["last_synced_time"] = n.value("last_synced_time", 0);
      j["recent_errors"] = n.value("errors", json::array());
      j["locked"] = n.value("locked", json::array());
    }
    sessions.push_back(j);
  }
  out["sessions"] = sessions;

  json transfers = json::array();
  for (const PObject& w : in.daemon["worker_list"].asArray()) {
    const uint64_t id = w["session_id"].asUInt64();
    const std::string path = w["path"].asStringRef().c_str_utf8();
    const uint64_t bytes = w["progress"].asUInt64();
    const uint64_t total = w["total_size"].asUInt64();
    json t = {{"session", id},
              {"folder", folders.count(id) ? folders[id] : ""},
              {"path", path},
              {"direction", w["status"].asStringRef() == ustring("uploading") ? "upload" : "download"},
              {"bytes", bytes},
              {"total", total},
              {"rate", nullptr},
              {"eta", nullptr}};
    if (in.seconds_between > 0) {
      for (const PObject& e : in.earlier["worker_list"].asArray()) {
        if (e["session_id"].asUInt64() != id || e["path"].asStringRef() != ustring(path)) continue;
        const uint64_t before = e["progress"].asUInt64();
        if (bytes >= before) {
          const double rate = static_cast<double>(bytes - before) / in.seconds_between;
          t["rate"] = static_cast<uint64_t>(rate);
          if (rate > 0 && total >= bytes) t["eta"] = static_cast<uint64_t>((total - bytes) / rate + 0.5);
        }
      }
    }
    transfers.push_back(t);
  }
  out["transfers"] = transfers;
  out["connection_errors"] =
      in.notices.is_object() && in.notices.contains("connection_errors") ? in.notices["connection_errors"] : json::array();
  out["home"] = in.home;
  return out;
}

std::string RenderTerminal(const json& status, int width) {
  const std::string home = status.value("home", "");
  std::string out;
  if (status["running"].get<bool>()) {
    out += "tidewell is running";
    if (!status["server"].get<std::string>().empty()) {
      out += "; server " + status["server"].get<std::string>() + " " + status["connection"].get<std::string>();
    }
  } else {
    out += "tidewell is not running (start it with `tidewell start`)";
  }
  out += "\n";
  for (const json& e : status["connection_errors"]) {
    out += "  error: " + e["text"].get<std::string>() + " (" + std::to_string(e["count"].get<uint64_t>()) +
           "x, last at " + Clock(e["time"].get<time_t>()) + ")\n";
  }
  if (status["sessions"].empty()) out += "no folders yet: add one with `tidewell add DIR`\n";
  for (const json& s : status["sessions"]) {
    const uint64_t id = s["id"].get<uint64_t>();
    out += ShortFolder(s["folder"].get<std::string>(), home) + "  <->  view " + std::to_string(s["view"].get<uint64_t>()) +
           " " + s["remote_path"].get<std::string>() + "\n";
    std::string line = "  " + s["state"].get<std::string>();
    const uint64_t pending = s["pending"].get<uint64_t>();
    if (pending > 0) line += ", " + std::to_string(pending) + " pending";
    out += line + "\n";
    if (!s["last_error"].get<std::string>().empty()) out += "  error: " + s["last_error"].get<std::string>() + "\n";
    const uint64_t held = s["held_removals"].get<uint64_t>();
    if (held > 0) {
      out += "  held: " + std::to_string(held) + " removals wait for your word; if they are meant, run\n" +
             "    tidewell resume --confirm-removals " + ShortFolder(s["folder"].get<std::string>(), home) + "\n";
    }
    for (const json& t : status["transfers"]) {
      if (t["session"].get<uint64_t>() != id) continue;
      const uint64_t bytes = t["bytes"].get<uint64_t>(), total = t["total"].get<uint64_t>();
      const double fraction = total > 0 ? static_cast<double>(bytes) / static_cast<double>(total) : 0;
      std::string tail = " " + std::to_string(static_cast<int>(fraction * 100)) + "% " + HumanBytes(bytes) + " of " +
                         HumanBytes(total);
      if (!t["rate"].is_null()) tail += "  " + HumanBytes(t["rate"].get<uint64_t>()) + "/s";
      if (!t["eta"].is_null()) tail += "  " + Duration(t["eta"].get<uint64_t>()) + " left";
      const std::string arrow = t["direction"].get<std::string>() == "upload" ? "  up   " : "  down ";
      const int bar_width = std::max(10, std::min(30, width / 4));
      const int path_room = std::max(10, width - static_cast<int>(arrow.size() + tail.size()) - bar_width - 4);
      out += arrow + Fit(t["path"].get<std::string>(), static_cast<size_t>(path_room)) + " " +
             Bar(fraction, bar_width) + tail + "\n";
    }
    if (s.contains("synced") && s["synced"].get<uint64_t>() > 0) {
      out += "  synchronised " + std::to_string(s["synced"].get<uint64_t>()) + " items since start, last " +
             s["last_synced"].get<std::string>() + " at " + Clock(s["last_synced_time"].get<time_t>()) + "\n";
    }
    if (s.contains("recent_errors")) {
      for (const json& e : s["recent_errors"]) {
        out += "  recent error: " + e["text"].get<std::string>() + " (" + std::to_string(e["count"].get<uint64_t>()) +
               "x, last at " + Clock(e["time"].get<time_t>()) + ")\n";
      }
    }
    if (s.contains("locked") && !s["locked"].empty()) {
      out += "  locked, will retry: " + std::to_string(s["locked"].size()) + " files, e.g. " +
             s["locked"][0].get<std::string>() + "\n";
    }
    if (!s["excluded"].empty()) {
      std::string list;
      for (const json& e : s["excluded"]) list += (list.empty() ? "" : ", ") + e.get<std::string>();
      out += "  excluded: " + list + "\n";
    }
  }
  return out;
}

std::string RenderPlain(const json& status) {
  std::string out;
  out += std::string("running: ") + (status["running"].get<bool>() ? "yes" : "no") + "\n";
  if (!status["server"].get<std::string>().empty()) {
    out += "server: " + status["server"].get<std::string>() + " " + status["connection"].get<std::string>() + "\n";
  }
  for (const json& e : status["connection_errors"]) {
    out += "connection error: " + e["text"].get<std::string>() + " count " + std::to_string(e["count"].get<uint64_t>()) +
           "\n";
  }
  for (const json& s : status["sessions"]) {
    const std::string prefix = "session " + std::to_string(s["id"].get<uint64_t>()) + " ";
    out += prefix + "folder: " + s["folder"].get<std::string>() + "\n";
    out += prefix + "remote: view " + std::to_string(s["view"].get<uint64_t>()) + " " +
           s["remote_path"].get<std::string>() + "\n";
    out += prefix + "state: " + s["state"].get<std::string>() + "\n";
    out += prefix + "pending: " + std::to_string(s["pending"].get<uint64_t>()) + "\n";
    if (!s["last_error"].get<std::string>().empty()) out += prefix + "error: " + s["last_error"].get<std::string>() + "\n";
    if (s["held_removals"].get<uint64_t>() > 0) {
      out += prefix + "held removals: " + std::to_string(s["held_removals"].get<uint64_t>()) + "\n";
    }
    for (const json& e : s["excluded"]) out += prefix + "excluded: " + e.get<std::string>() + "\n";
    if (s.contains("synced")) out += prefix + "synchronised: " + std::to_string(s["synced"].get<uint64_t>()) + "\n";
    if (s.contains("recent_errors")) {
      for (const json& e : s["recent_errors"]) out += prefix + "recent error: " + e["text"].get<std::string>() + "\n";
    }
  }
  for (const json& t : status["transfers"]) {
    std::string line = "transfer: session " + std::to_string(t["session"].get<uint64_t>()) + " " +
                       t["direction"].get<std::string>() + " " + t["path"].get<std::string>() + " " +
                       std::to_string(t["bytes"].get<uint64_t>()) + "/" + std::to_string(t["total"].get<uint64_t>()) +
                       " bytes";
    if (!t["rate"].is_null()) line += " " + std::to_string(t["rate"].get<uint64_t>()) + " B/s";
    if (!t["eta"].is_null()) line += " eta " + std::to_string(t["eta"].get<uint64_t>()) + " s";
    out += line + "\n";
  }
  return out;
}

}  // namespace tidewell::cli
