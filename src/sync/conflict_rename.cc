#include "sync/conflict_rename.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>

#include "base/log.h"

namespace tidewell {

namespace {

const ustring& Comp() {
  static const ustring component("conflict_rename_debug");
  return component;
}

constexpr int kMaxCounter = 99;

// Tries `first`, then `counter(n)` for n from `from` to 99; the first name
// that is free gets the object. The last result otherwise.
template <typename Candidate>
int RenameToFree(const SessionFs& fs, const ustring& path, const ustring& first, int from,
                 const Candidate& counter, ustring& target) {
  target = first;
  int rc = fs.Rename(path, target, false);
  for (int n = from; rc == -EEXIST && n <= kMaxCounter; ++n) {
    target = counter(n);
    rc = fs.Rename(path, target, false);
  }
  return rc;
}

}  // namespace

ustring ConflictTimeStamp(time_t when) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  struct tm tm_local {};
  localtime_r(&when, &tm_local);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s-%02d-%02d%02d-%04d", kMonths[tm_local.tm_mon % 12], tm_local.tm_mday,
                tm_local.tm_hour, tm_local.tm_min, tm_local.tm_year + 1900);
  return ustring(buf);
}

std::string ConflictSuffix(const ustring& client_name, const ustring& reason) {
  std::string suffix(1, '_');
  suffix.append(client_name.utf8_view());
  suffix += '_';
  suffix.append(ConflictTimeStamp(time(nullptr)).utf8_view());
  suffix += '_';
  suffix.append(reason.utf8_view());
  return suffix;
}

ustring InsertBeforeExtension(const ustring& path, const ustring& insert) {
  std::string_view p = path.utf8_view();
  size_t dot = p.rfind('.');
  size_t sep = p.find_last_of("/\\");
  std::string out;
  if (dot == std::string_view::npos || (sep != std::string_view::npos && dot < sep) || dot + 1 == p.size()) {
    out.assign(p);
    out.append(insert.utf8_view());
  } else {
    out.assign(p.substr(0, dot));
    out.append(insert.utf8_view());
    out.append(p.substr(dot));
  }
  return ustring(out);
}

int ConflictRename(const SessionFs& fs, const ustring& path, const ustring& client_name, const ustring& reason,
                   ustring* renamed_to) {
  const std::string suffix = ConflictSuffix(client_name, reason);
  ustring target;
  int rc = RenameToFree(
      fs, path, InsertBeforeExtension(path, ustring(suffix)), 1,
      [&](int n) { return InsertBeforeExtension(path, ustring(suffix + "_" + std::to_string(n))); }, target);
  if (rc == 0) {
    TW_LOG_INFO(Comp(), "conflict-rename", "ConflictRename from [%s] to [%s], reason = [%s].\n",
                path.c_str_utf8(), target.c_str_utf8(), reason.c_str_utf8());
    if (renamed_to != nullptr) *renamed_to = target;
  } else {
    TW_LOG_ERROR(Comp(), "conflict-rename", "ConflictRename failed. From:[%s] To:[%s] err = [%d] (%s)\n",
                 path.c_str_utf8(), target.c_str_utf8(), rc, SessionFsErrorString(rc).c_str());
  }
  return rc;
}

int WhiteSpaceConflictRename(const SessionFs& fs, const ustring& path, const ustring& base_name,
                             const ustring& client_name, ustring* renamed_to) {
  std::string_view p = path.utf8_view();
  size_t slash = p.rfind('/');
  std::string dir(slash == std::string_view::npos ? std::string_view() : p.substr(0, slash));
  std::string_view name = base_name.utf8_view();
  size_t b = name.find_first_not_of(' ');
  size_t e = name.find_last_not_of(' ');
  std::string clean = b == std::string_view::npos ? std::string() : std::string(name.substr(b, e - b + 1));
  ustring clean_path(dir + "/" + clean);

  ustring target;
  int rc = -EEXIST;
  if (!clean.empty()) {
    target = clean_path;
    rc = fs.Rename(path, target, false);
  }
  if (rc == -EEXIST) {
    const std::string suffix = ConflictSuffix(client_name, ustring("WhiteSpaceConflict"));
    rc = RenameToFree(
        fs, path, InsertBeforeExtension(clean_path, ustring(suffix)), 0,
        [&](int n) { return InsertBeforeExtension(clean_path, ustring(suffix + "_" + std::to_string(n))); },
        target);
  }
  if (rc == 0) {
    TW_LOG_INFO(Comp(), "conflict-rename", "WhiteSpaceConflictRename from [%s] to [%s].\n", path.c_str_utf8(),
                target.c_str_utf8());
    if (renamed_to != nullptr) *renamed_to = target;
  } else {
    TW_LOG_ERROR(Comp(), "conflict-rename", "WhiteSpaceConflictRename failed. From:[%s] To:[%s] err=[%d] (%s)\n",
                 path.c_str_utf8(), target.c_str_utf8(), rc, SessionFsErrorString(rc).c_str());
  }
  return rc;
}

}  // namespace tidewell
