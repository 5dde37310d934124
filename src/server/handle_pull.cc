// "pull_event": the changes under a folder since a sync id, in pages of at
// most 1,000 events, read from one snapshot.

#include <unordered_set>
#include <vector>

#include "server/path_rules.h"
#include "server/server_connection.h"
#include "server/server_error.h"
#include "server/server_log.h"

namespace tidewell::server {

namespace {

constexpr size_t kPageEvents = 1000;

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

}  // namespace

void ServerConnection::HandlePull(const PObject& req, const Caller& caller, PObject& reply, Outcome& out) {
  const uint64_t since = req["sync_id"].asUInt64();
  auto fail = [&](uint32_t code) {
    ErrorReply(code, reply, out);
    reply["next_sync_id"] = static_cast<unsigned long long>(since);
    reply["event_list"].asArray();
  };
  PullCondition cond;
  if (!req["sync_id"].isInteger() || !req["path"].isString() || !ParseCondition(req["condition"], cond)) {
    return fail(kUnsupported);
  }
  std::string folder;
  if (!NormalizePath(req["path"].asStringRef().utf8_view(), folder)) return fail(kPathMissing);
  const bool recursive = !req.hasMember("recursive") || req["recursive"].asBool();

  auto failed = [&] {
    FailReply(kRedo, "the database failed during a pull", reply, out);
    reply["next_sync_id"] = static_cast<unsigned long long>(since);
    reply["event_list"].asArray();
  };
  if (reader_->BeginSnapshot() != 0) return failed();
  ObjectRow top;
  ViewRow view;
  int found = reader_->GetObject(caller.view.id, folder, top);
  int view_found = found > 0 ? reader_->GetView(caller.view.id, view) : 1;
  if (found < 0 || view_found <= 0) {
    reader_->EndSnapshot();
    return failed();
  }
  if (found == 0 || top.is_removed || !top.is_dir) {
    reader_->EndSnapshot();
    return fail(kPathMissing);
  }

  ChangeQuery q;
  q.view_id = caller.view.id;
  q.folder = folder;
  q.folder_id = top.id;
  q.after = since;
  q.recursive = recursive;
  q.include_removed = since > 0;
  // Rows of the page, in order. A page never splits the rows of one sync id
  // (a subtree removal): see docs/server-protocol.md.
  std::vector<ObjectRow> page;
  size_t group_start = 0;
  bool cut = false;
  int rc = reader_->ListChanges(q, [&](const ObjectRow& row) {
    if (!cond.empty() && !MatchesCondition(cond, RelativeTo(row.path, folder), row.is_dir, row.size)) return true;
    if (!page.empty() && page.back().sync_id != row.sync_id) {
      if (page.size() >= kPageEvents) {
        cut = true;
        return false;
      }
      group_start = page.size();
    }
    if (page.size() >= kPageEvents && group_start > 0) {
      // This group would overflow the page: it starts the next one.
      page.resize(group_start);
      cut = true;
      return false;
    }
    page.push_back(row);
    return true;
  });
  reader_->EndSnapshot();
  if (rc != 0) return failed();

  const uint64_t last_id = page.empty() ? since : page.back().sync_id;
  // A removal is left out when the page lists the removal of a folder above.
  std::unordered_set<std::string> removed_dirs;
  for (const ObjectRow& row : page) {
    if (row.is_removed && row.is_dir) removed_dirs.insert(row.path);
  }
  pull_reply_.folder = folder;
  pull_reply_.events.clear();
  pull_reply_.events.reserve(page.size());
  for (ObjectRow& row : page) {
    if (row.is_removed && AncestorRemoved(row.path, removed_dirs)) continue;
    pull_reply_.events.push_back(std::move(row));
  }
  // A page that stopped early continues after its last row; a complete one
  // after everything the snapshot held; nothing new keeps the client's id.
  pull_reply_.next_sync_id = page.empty() ? since : cut ? last_id : view.counter;
  out.streamed = true;
  out.path = folder;
}

}  // namespace tidewell::server
