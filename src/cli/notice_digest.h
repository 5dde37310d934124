// Groups the daemon's notices for people: a burst of thousands of
// "recent_file" notices becomes one line per session and kind of change
// with a count and a few example paths, and a repeated error becomes one
// line with its repeat count. It also keeps a short summary per session
// (files synchronised, the last one, recent errors, locked files) that
// `tidewell status` shows.
//
// Notices the daemon already coalesced carry "count"; they count that many.
//
// Thread-safe: one mutex guards everything, so the receiving thread adds
// while the main thread flushes.

#ifndef TIDEWELL_CLI_NOTICE_DIGEST_H_
#define TIDEWELL_CLI_NOTICE_DIGEST_H_

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "net/pobject.h"

namespace tidewell::cli {

// A short text for a daemon error code, for people.
std::string DescribeErrorCode(int code);

class NoticeDigest {
 public:
  // Names a session in output lines (its folder).
  using SessionNamer = std::function<std::string(uint64_t session_id)>;

  // Takes one notice received at `now`. Unknown notices are ignored.
  void Add(const PObject& notice, time_t now);

  // The lines for what arrived since the last flush, grouped; empty when
  // nothing did. Groups come in a fixed order: errors first, then per
  // session the kinds of change.
  std::vector<std::string> Flush(const SessionNamer& name);

  // Per-session summary for status: {"<id>": {"synced", "last_synced",
  // "last_synced_time", "errors": [{"code", "text", "count", "time"}],
  // "locked": [paths]}}, plus "connection_errors" at the top level. Only
  // errors of the last `error_window` seconds before `now` are listed.
  nlohmann::json Summary(time_t now, time_t error_window = 300) const;

 private:
  struct Group {
    uint64_t count = 0;
    std::vector<std::string> samples;  // the first few paths
  };
  struct ErrorSeen {
    uint64_t count = 0;       // since the last flush
    uint64_t total = 0;
    time_t last = 0;
  };
  struct SessionTotals {
    uint64_t synced = 0;
    std::string last_path;
    time_t last_time = 0;
    std::map<int, ErrorSeen> errors;  // by code
    std::set<std::string> locked;
  };

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::map<std::pair<uint64_t, int>, Group> pending_;  // (session, event type) since the last flush
  std::map<std::pair<uint64_t, std::string>, Group> pending_locked_;
  std::map<uint64_t, SessionTotals> sessions_;
  std::map<int, ErrorSeen> connection_errors_;
  std::set<std::pair<int64_t, int>> errors_to_print_;  // (session or -1 for the connection, code)
};

}  // namespace tidewell::cli

#endif  // TIDEWELL_CLI_NOTICE_DIGEST_H_
