#include "cli/conflicts.h"

#include <algorithm>

#include "platform/dir_list.h"
#include "sync/detector.h"

namespace tidewell::cli {

namespace {

int Walk(const std::string& root, const std::string& rel, std::vector<ConflictCopy>& out) {
  DIR_HANDLE dh;
  FSOpenDir(ustring(root + rel), kDirReadStat, dh);
  DIR_ENTRY e;
  int rc;
  while ((rc = FSReadDir(dh, e)) == 1) {
    const std::string name = e.name.c_str_utf8();
    if (name == "." || name == "..") continue;
    if (rel.empty() && name == Detector::kWorkingDirectory) continue;
    const std::string path = rel + "/" + name;
    std::string original, client, reason;
    if ((e.type == FT_FILE || e.type == FT_DIR) && ParseConflictName(name, original, client, reason)) {
      out.push_back(ConflictCopy{path, rel + "/" + original, client, reason, e.type == FT_FILE ? e.size : 0});
    }
    if (e.type == FT_DIR) (void)Walk(root, path, out);
  }
  FSCloseDir(dh);
  return rc < 0 ? -1 : 0;
}

}  // namespace

namespace {

bool AllDigits(const std::string& s, size_t n) {
  return s.size() == n && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "<month>-DD-HHMM-YYYY"
bool IsTimeStamp(const std::string& s) {
  const size_t a = s.find('-');
  if (a == 0 || a == std::string::npos || s.size() < a + 1 + 2 + 1 + 4 + 1 + 4) return false;
  const std::string rest = s.substr(a + 1);
  return rest.size() == 12 && AllDigits(rest.substr(0, 2), 2) && rest[2] == '-' && AllDigits(rest.substr(3, 4), 4) &&
         rest[7] == '-' && AllDigits(rest.substr(8, 4), 4);
}

// Splits off "_<part>" at the end of `stem`; false when there is none.
bool PopPart(std::string& stem, std::string& part) {
  const size_t at = stem.rfind('_');
  if (at == std::string::npos) return false;
  part = stem.substr(at + 1);
  stem.resize(at);
  return true;
}

bool ParseStem(std::string stem, const std::string& ext, std::string& original_name, std::string& client,
               std::string& reason) {
  std::string part;
  if (!PopPart(stem, part)) return false;
  if (AllDigits(part, part.size()) && !part.empty()) {
    if (!PopPart(stem, part)) return false;  // the counter came first
  }
  if (part != "Conflict" && part != "TailCharacterConflict" && part != "WhiteSpaceConflict") return false;
  reason = part;
  std::string stamp;
  if (!PopPart(stem, stamp) || !IsTimeStamp(stamp)) return false;
  if (!PopPart(stem, client) || client.empty() || stem.empty()) return false;
  original_name = stem + ext;
  return true;
}

}  // namespace

bool ParseConflictName(const std::string& name, std::string& original_name, std::string& client,
                       std::string& reason) {
  // stem _ client _ time stamp _ reason [_ counter] [extension]
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0 &&
      ParseStem(name.substr(0, dot), name.substr(dot), original_name, client, reason)) {
    return true;
  }
  return ParseStem(name, "", original_name, client, reason);
}

int FindConflictCopies(const std::string& root, std::vector<ConflictCopy>& out) {
  out.clear();
  int rc = Walk(root, "", out);
  std::sort(out.begin(), out.end(), [](const ConflictCopy& a, const ConflictCopy& b) { return a.path < b.path; });
  return rc;
}

}  // namespace tidewell::cli
