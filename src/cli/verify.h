// `tidewell verify DIR`: a read-only audit of one session. Every file and
// folder is looked at three times -- the local content's MD4, the event
// database's record of what was last synchronised, and the server's
// current object (listed by pulling the session's folder from sync id 0)
// -- and each disagreement is reported by path and kind. Items the daemon
// is working on (syncing marks in the file-status database, transfers in
// its status) are listed as pending instead, since they are expected to
// differ for a moment. Paths the session's rules leave out, and the
// working folder, take no part.
//
// Nothing is written: the databases are opened read-only, files only read.

#ifndef TIDEWELL_CLI_VERIFY_H_
#define TIDEWELL_CLI_VERIFY_H_

#include <cstdint>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "cli/server_session.h"

namespace tidewell::cli {

// One item as the local folder or the event database knows it.
struct TreeItem {
  bool is_dir = false;
  uint64_t size = 0;
  std::string hash;  // MD4, lower-case hex; empty for folders
};

enum class VerifyKind {
  kPending,         // the daemon is working on it
  kLocalOnly,       // here, not on the server
  kServerOnly,      // on the server, not here
  kContentDiffers,  // both have it, with other content (or of another kind)
  kRecordStale,     // both agree, but the event database says otherwise
};

const char* VerifyKindName(VerifyKind kind);

struct VerifyFinding {
  std::string path;
  VerifyKind kind;
  std::string detail;
};

// True when the session's rules leave `path` out.
using ExcludedFn = std::function<bool(const std::string& path, bool is_dir, uint64_t size)>;

// Compares the three views. Every path of any view appears at most once in
// the result, in path order; paths that agree everywhere do not appear. A
// path is pending when it, a folder above it, or (for a folder) something
// below it is in `pending`.
std::vector<VerifyFinding> CompareTrees(const std::map<std::string, TreeItem>& local,
                                        const std::map<std::string, TreeItem>& records,
                                        const std::map<std::string, ServerObject>& server,
                                        const std::set<std::string>& pending, const ExcludedFn& excluded);

// The whole-file MD4 of `path` in lower-case hex. 0, or -1 when it cannot
// be read.
[[nodiscard]] int FileMd4Hex(const std::string& path, std::string& hex);

// Every file and folder under `root` by session-relative path ("/a/b"),
// with the files' MD4; symbolic links and special files are skipped, and so
// is the working folder at the top. `on_file` (may be null) is called per
// hashed file, for progress. 0, or -1 with `error` (the root cannot be
// listed).
[[nodiscard]] int ScanLocalTree(const std::string& root, std::map<std::string, TreeItem>& out, std::string& error,
                                const std::function<void(const std::string&)>& on_file = nullptr);

// The live rows of the event database `db_file`, read-only. 1 read, 0 when
// the file does not exist (never synchronised), -1 with `error`.
int ReadEventRecords(const std::string& db_file, std::map<std::string, TreeItem>& out, std::string& error);

// Session-relative paths under `root` that the file-status database
// `db_file` marks as syncing. 0 (also when the file does not exist), or -1.
int ReadSyncingPaths(const std::string& db_file, const std::string& root, std::set<std::string>& out);

// The audit's outcome as JSON: {"folder", "files", "folders", "pending":
// [paths], "mismatches": [{"path", "kind", "detail"}]}.
nlohmann::json VerifyReport(const std::string& folder, const std::map<std::string, TreeItem>& local,
                            const std::vector<VerifyFinding>& findings);

}  // namespace tidewell::cli

#endif  // TIDEWELL_CLI_VERIFY_H_
