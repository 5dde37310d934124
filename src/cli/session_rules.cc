#include "cli/session_rules.h"

#include <strings.h>
#include <unistd.h>

#include <sstream>

#include "base/ustring.h"
#include "filter/filter.h"
#include "platform/durable_replace.h"
#include "platform/private_dir.h"

namespace tidewell::cli {

namespace {

constexpr const char* kAdmitAll =
    "[Version]\n"
    "major = 1\n"
    "minor = 0\n"
    "\n"
    "[File]\n"
    "white_ext = \"*\"\n";

// Owns a black-list record for one edit.
class FilterRecord {
 public:
  FilterRecord() { filter_init(&f_); }
  ~FilterRecord() { filter_destroy(&f_); }
  FilterRecord(const FilterRecord&) = delete;
  FilterRecord& operator=(const FilterRecord&) = delete;
  Filter* get() { return &f_; }

 private:
  Filter f_;
};

// True when `path` equals `prefix` or lies below it, ASCII case ignored
// (the matcher's rule for path prefixes).
bool Covers(const std::string& prefix, const std::string& path) {
  if (path.size() < prefix.size() || strncasecmp(path.c_str(), prefix.c_str(), prefix.size()) != 0) return false;
  return path.size() == prefix.size() || path[prefix.size()] == '/' || prefix == "/";
}

int LoadOrEmpty(const std::string& rule_file, Filter* f, std::string& error) {
  if (access(rule_file.c_str(), F_OK) != 0) {
    f->version.major = 1;
    return 0;
  }
  if (filter_read(f, rule_file.c_str()) != 0) {
    error = "the rule file '" + rule_file + "' cannot be read; fix or delete it";
    return -1;
  }
  return 0;
}

}  // namespace

std::string BlackListFile(const std::string& session_dir) { return session_dir + "/conf/blacklist.filter"; }
std::string WhiteListFile(const std::string& session_dir) { return session_dir + "/conf/whitelist.filter"; }

int WriteEmptyBlackList(const std::string& path, std::string& error) {
  FilterRecord record;
  record.get()->version.major = 1;
  record.get()->version.minor = 0;
  if (filter_write(record.get(), path.c_str()) != 0) {
    error = "cannot write the rule file '" + path + "'";
    return -1;
  }
  return 0;
}

int WriteAdmitAllWhiteList(const std::string& path, std::string& error) {
  if (DurableReplaceContent(ustring(path), kAdmitAll, 0600) != 0) {
    error = "cannot write the rule file '" + path + "'";
    return -1;
  }
  return 0;
}

int CreateSessionFolder(const std::string& session_dir, std::string& error) {
  if (MakePrivateDir(session_dir + "/conf", error) != 0) return -1;
  if (WriteEmptyBlackList(BlackListFile(session_dir), error) != 0) return -1;
  return WriteAdmitAllWhiteList(WhiteListFile(session_dir), error);
}

int SessionRelativePath(const std::string& root, const std::string& path, std::string& out, std::string& error) {
  std::string rel = path;
  if (!path.empty() && path[0] == '/' && (path == root || path.rfind(root + "/", 0) == 0)) {
    rel = path.substr(root.size());
  } else if (!path.empty() && path[0] != '/') {
    // A relative path names something under the working folder when that
    // lies inside the session; otherwise it is taken as session-relative.
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) != nullptr) {
      std::string abs = std::string(cwd) + "/" + path;
      if (abs.rfind(root + "/", 0) == 0) rel = abs.substr(root.size());
    }
  }
  std::string clean;
  std::istringstream in(rel);
  std::string part;
  while (std::getline(in, part, '/')) {
    if (part.empty()) continue;
    if (part == "." || part == "..") {
      error = "'" + path + "': a path with '.' or '..' is not accepted; name the folder plainly";
      return -1;
    }
    clean += "/" + part;
  }
  if (clean.empty()) {
    error = "'" + path + "' is the whole session; use `tidewell pause` or `tidewell remove` instead";
    return -1;
  }
  out = clean;
  return 0;
}

SelectiveSyncEdit EditSelectiveSync(const std::string& rule_file, const std::string& session_path, bool exclude,
                                    std::string& message) {
  FilterRecord record;
  Filter* f = record.get();
  if (LoadOrEmpty(rule_file, f, message) != 0) return kEditFailed;
  value_type_string_set& set = f->common.black_path_prefix_selective_sync;
  if (exclude) {
    for (size_t i = 0; i < set.used; ++i) {
      if (Covers(set.set[i], session_path)) {
        message = session_path == set.set[i] ? "'" + session_path + "' is already excluded"
                                             : "'" + session_path + "' is already excluded with '" +
                                                   std::string(set.set[i]) + "'";
        return kEditUnchanged;
      }
    }
    if (value_type_string_set_insert(&set, session_path.data(), session_path.size()) != 0) {
      message = "out of memory";
      return kEditFailed;
    }
    message = "'" + session_path + "' is excluded";
  } else {
    bool removed = false;
    for (size_t i = 0; i < set.used;) {
      if (strcasecmp(set.set[i], session_path.c_str()) == 0) {
        std::string entry = set.set[i];
        value_type_string_set_remove(&set, entry.c_str());
        removed = true;
        continue;  // the last entry moved into slot i
      }
      ++i;
    }
    if (!removed) {
      for (size_t i = 0; i < set.used; ++i) {
        if (Covers(set.set[i], session_path)) {
          message = "'" + session_path + "' lies inside the excluded folder '" + std::string(set.set[i]) +
                    "'; include that folder instead";
          return kEditFailed;
        }
      }
      message = "'" + session_path + "' is not excluded";
      return kEditUnchanged;
    }
    message = "'" + session_path + "' is included again";
  }
  if (filter_write(f, rule_file.c_str()) != 0) {
    message = "cannot write the rule file '" + rule_file + "'";
    return kEditFailed;
  }
  return kEditChanged;
}

int ExcludedFolders(const std::string& rule_file, std::vector<std::string>& out) {
  out.clear();
  FilterRecord record;
  std::string error;
  if (LoadOrEmpty(rule_file, record.get(), error) != 0) return -1;
  const value_type_string_set& set = record.get()->common.black_path_prefix_selective_sync;
  for (size_t i = 0; i < set.used; ++i) out.push_back(set.set[i]);
  return 0;
}

}  // namespace tidewell::cli
