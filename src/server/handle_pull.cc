// "pull_event": the changes under a folder since a sync id, in pages of at
// most 1,000 events, read from one snapshot. With "wait_ms" a pull that
// finds nothing new is held until a change under the folder is committed
// or the time runs out, then answered the same way.

#include <algorithm>
#include <chrono>
#include <string>
#include <unordered_set>
#include <vector>

#include "server/path_rules.h"
#include "server/server_connection.h"
#include "server/server_error.h"
#include "server/server_log.h"

namespace tidewell::server {

namespace {

constexpr size_t kPageEvents = 1000;

// The longest hold a pull may ask for: well inside the 90 seconds a client
// waits for a reply, and short enough that a client that went away
// silently holds a connection thread only briefly.
constexpr uint64_t kMaxWaitMs = 60000;

// What a pull asks for, checked.
struct PullQuery {
  uint64_t view_id = 0;
  std::string folder;
  uint64_t since = 0;
  bool recursive = true;
  PullCondition cond;
};

// One page read from one snapshot.
struct PullPage {
  std::vector<ObjectRow> rows;  // in order
  bool cut = false;             // stopped early: more follow
  uint64_t counter = 0;         // the view's counter in the snapshot
};

// Reads "condition"; false when a member has the wrong type.
bool ParseCondition(const PObject& in, PullCondition& cond) {
  if (!in.isMap()) return in.isNull();
  const PObject& ext = in["extension"];
  if (in.hasMember("extension")) {
    if (!ext.isString()) return false;
    cond.has_extension = true;
    cond.extension.assign(ext.asStringRef().utf8_view());
  }
  if (in.hasMember("name")) {
    if (!in["name"].isString()) return false;
    cond.has_name = true;
    cond.name.assign(in["name"].asStringRef().utf8_view());
  }
  if (in.hasMember("prefix")) {
    if (!in["prefix"].isString()) return false;
    cond.has_prefix = true;
    // A prefix that names no valid path matches nothing below "/".
    if (!NormalizePath(in["prefix"].asStringRef().utf8_view(), cond.prefix)) cond.prefix = std::string(1, '\0');
  }
  if (in.hasMember("min_size") || in.hasMember("max_size")) {
    cond.has_size = true;
    cond.min_size = in["min_size"].asUInt64();
    cond.max_size = in["max_size"].asUInt64();
  }
  return true;
}

// True when a folder above `path` is in `removed_dirs`.
bool AncestorRemoved(const std::string& path, const std::unordered_set<std::string>& removed_dirs) {
  if (removed_dirs.empty()) return false;
  for (size_t pos = path.rfind('/'); pos != std::string::npos && pos > 0; pos = path.rfind('/', pos - 1)) {
    if (removed_dirs.count(path.substr(0, pos)) != 0) return true;
  }
  return false;
}

// Reads the page of `q` into `page`. 0; kPathMissing when the folder is
// not a live folder; -1 when the store fails.
int ReadPage(StoreReader& reader, const PullQuery& q, PullPage& page) {
  page = PullPage();
  if (reader.BeginSnapshot() != 0) return -1;
  ObjectRow top;
  ViewRow view;
  int found = reader.GetObject(q.view_id, q.folder, top);
  int view_found = found > 0 ? reader.GetView(q.view_id, view) : 1;
  if (found < 0 || view_found <= 0) {
    reader.EndSnapshot();
    return -1;
  }
  if (found == 0 || top.is_removed || !top.is_dir) {
    reader.EndSnapshot();
    return static_cast<int>(kPathMissing);
  }
  page.counter = view.counter;

  ChangeQuery cq;
  cq.view_id = q.view_id;
  cq.folder = q.folder;
  cq.folder_id = top.id;
  cq.after = q.since;
  cq.recursive = q.recursive;
  cq.include_removed = q.since > 0;
  // A page never splits the rows of one sync id (a subtree removal): see
  // docs/server-protocol.md.
  std::vector<ObjectRow>& rows = page.rows;
  size_t group_start = 0;
  int rc = reader.ListChanges(cq, [&](const ObjectRow& row) {
    if (!q.cond.empty() && !MatchesCondition(q.cond, RelativeTo(row.path, q.folder), row.is_dir, row.size)) {
      return true;
    }
    if (!rows.empty() && rows.back().sync_id != row.sync_id) {
      if (rows.size() >= kPageEvents) {
        page.cut = true;
        return false;
      }
      group_start = rows.size();
    }
    if (rows.size() >= kPageEvents && group_start > 0) {
      // This group would overflow the page: it starts the next one.
      rows.resize(group_start);
      page.cut = true;
      return false;
    }
    rows.push_back(row);
    return true;
  });
  reader.EndSnapshot();
  return rc != 0 ? -1 : 0;
}

}  // namespace

void ServerConnection::HandlePull(const PObject& req, const Caller& caller, PObject& reply, Outcome& out) {
  const uint64_t since = req["sync_id"].asUInt64();
  auto fail = [&](uint32_t code) {
    ErrorReply(code, reply, out);
    reply["next_sync_id"] = static_cast<unsigned long long>(since);
    reply["event_list"].asArray();
  };
  PullQuery q;
  q.view_id = caller.view.id;
  q.since = since;
  // A server with waiting pulls off ignores the key, as one that never knew
  // it would.
  const bool waits = ctx_.options.pull_wait && req.hasMember("wait_ms");
  if (!req["sync_id"].isInteger() || !req["path"].isString() || !ParseCondition(req["condition"], q.cond) ||
      (waits && !req["wait_ms"].isInteger())) {
    return fail(kUnsupported);
  }
  if (!NormalizePath(req["path"].asStringRef().utf8_view(), q.folder)) return fail(kPathMissing);
  q.recursive = !req.hasMember("recursive") || req["recursive"].asBool();
  const uint64_t wait_ms = waits ? std::min<uint64_t>(req["wait_ms"].asUInt64(), kMaxWaitMs) : 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);

  // Read before the first snapshot: a commit between the two moves the
  // count, so the wait below cannot miss it.
  uint64_t seen = ctx_.changes.Count(q.view_id);
  PullPage page;
  for (;;) {
    int rc = ReadPage(*reader_, q, page);
    if (rc < 0) {
      FailReply(kRedo, "the database failed during a pull", reply, out);
      reply["next_sync_id"] = static_cast<unsigned long long>(since);
      reply["event_list"].asArray();
      return;
    }
    if (rc > 0) return fail(static_cast<uint32_t>(rc));
    // A change elsewhere in the view wakes the wait too; it goes on until
    // something under this folder (and condition) comes, or the time is up.
    if (!page.rows.empty() || wait_ms == 0 || !AwaitViewChange(q.view_id, q.folder, seen, deadline)) break;
  }

  const uint64_t last_id = page.rows.empty() ? since : page.rows.back().sync_id;
  // A removal is left out when the page lists the removal of a folder above.
  std::unordered_set<std::string> removed_dirs;
  for (const ObjectRow& row : page.rows) {
    if (row.is_removed && row.is_dir) removed_dirs.insert(row.path);
  }
  pull_reply_.folder = q.folder;
  pull_reply_.events.clear();
  pull_reply_.events.reserve(page.rows.size());
  for (ObjectRow& row : page.rows) {
    if (row.is_removed && AncestorRemoved(row.path, removed_dirs)) continue;
    pull_reply_.events.push_back(std::move(row));
  }
  // A page that stopped early continues after its last row; a complete one
  // after everything the snapshot held; nothing new keeps the client's id.
  pull_reply_.next_sync_id = page.rows.empty() ? since : page.cut ? last_id : page.counter;
  out.streamed = true;
  out.path = q.folder;
}

}  // namespace tidewell::server
