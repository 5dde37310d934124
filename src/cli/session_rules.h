// A session's rule files, as the front end creates and edits them:
// "conf/blacklist.filter" (what is left out) and "conf/whitelist.filter"
// (which names take part) in the session's configuration folder, and the
// system filter. Selective sync adds and removes folder prefixes of the
// black list's `black_path_prefix_selective_sync` set and writes the file
// back with the project's rule-file writer.
//
// Stateless functions; the caller serialises edits of one file.

#ifndef TIDEWELL_CLI_SESSION_RULES_H_
#define TIDEWELL_CLI_SESSION_RULES_H_

#include <string>
#include <vector>

namespace tidewell::cli {

std::string BlackListFile(const std::string& session_dir);
std::string WhiteListFile(const std::string& session_dir);

// Writes a black list that excludes nothing (version 1.0). 0, or -1.
[[nodiscard]] int WriteEmptyBlackList(const std::string& path, std::string& error);

// Writes a white list that admits every name (`white_ext` = "*"): an empty
// white list would admit none. 0, or -1.
[[nodiscard]] int WriteAdmitAllWhiteList(const std::string& path, std::string& error);

// Creates the session's configuration folder with its "conf" folder and the
// two rule files above (the daemon makes "db" itself). 0, or -1.
[[nodiscard]] int CreateSessionFolder(const std::string& session_dir, std::string& error);

// The session-relative form ("/a/b") of `path`, which is either a path
// inside the local folder `root` (absolute, or relative to the working
// folder when it exists there) or already relative to the session ("a/b",
// "/a/b"). Returns 0, or -1 with `error` for the root itself, "." or ".."
// components, or a path that leaves the session.
[[nodiscard]] int SessionRelativePath(const std::string& root, const std::string& path, std::string& out,
                                      std::string& error);

// Results of EditSelectiveSync.
enum SelectiveSyncEdit { kEditFailed = -1, kEditUnchanged = 0, kEditChanged = 1 };

// Excludes (`exclude`) or includes again the folder `session_path` in the
// black list `rule_file`. Excluding a path that an entry already covers
// (the same path or a folder above it, ASCII case ignored, as the matcher
// compares) changes nothing. Including removes the entries equal to the
// path; a path that lies below an excluded folder cannot be included on
// its own, which is kEditFailed with `message` naming that folder.
// `message` tells the user what happened in every case.
SelectiveSyncEdit EditSelectiveSync(const std::string& rule_file, const std::string& session_path, bool exclude,
                                    std::string& message);

// The folders the black list `rule_file` leaves out by selective sync, in
// file order. 0, or -1 when the file cannot be read.
[[nodiscard]] int ExcludedFolders(const std::string& rule_file, std::vector<std::string>& out);

}  // namespace tidewell::cli

#endif  // TIDEWELL_CLI_SESSION_RULES_H_
