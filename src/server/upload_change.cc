#include "server/upload_change.h"

#include <vector>

#include "server/path_rules.h"
#include "server/server_error.h"

namespace tidewell::server {

namespace {

// Rows 2 and 3 of the decision table, and the object now at the path.
// 0 to go on, a server code, or -1.
int CheckPath(StoreReader& reader, const UploadPlan& plan, ObjectRow& obj, bool& live) {
  for (const std::string& folder : AncestorsOf(plan.path)) {
    if (folder == "/") continue;
    ObjectRow above;
    int found = reader.GetObject(plan.view_id, folder, above);
    if (found < 0) return -1;
    if (found == 1 && !above.is_removed && !above.is_dir) return kUploadChanged;
  }
  int found = reader.GetObject(plan.view_id, plan.path, obj);
  if (found < 0) return -1;
  live = found == 1 && !obj.is_removed;
  if (live && obj.is_dir != plan.is_dir) return kTypeConflict;
  return 0;
}

// Rows 4 to 8. Sets `as_it_stands` for row 5.
int Decide(const UploadPlan& plan, const ObjectRow& obj, bool live, bool& as_it_stands) {
  as_it_stands = false;
  if (live) {
    if (plan.base != 0 && obj.sync_id == plan.base) return 0;
    if (plan.base == 0 && (plan.is_dir || (obj.md4 == plan.request_md4 && obj.size == plan.request_size))) {
      as_it_stands = true;
      return 0;
    }
    return kUploadChanged;
  }
  if (plan.base != 0) return kUploadBaseGone;
  if (plan.content == UploadPlan::Content::kCurrent) return kRedo;
  return 0;
}

// Makes every folder above `path` a live folder, creating or reviving them
// from the top down, each with its own new id. Sets `parent_id`.
int EnsureParents(StoreTxn& txn, const UploadPlan& plan, int64_t& parent_id) {
  for (const std::string& folder : AncestorsOf(plan.path)) {
    ObjectRow row;
    int found = txn.GetObject(plan.view_id, folder, row);
    if (found < 0) return -1;
    if (found == 1 && !row.is_removed) {
      parent_id = row.id;
      continue;
    }
    uint64_t id = 0;
    if (txn.NextSyncId(plan.view_id, id) != 0) return -1;
    row.view_id = plan.view_id;
    row.path = folder;
    row.parent_id = parent_id;
    row.is_dir = true;
    row.is_removed = false;
    row.sync_id = id;
    row.size = 0;
    row.md4.clear();
    row.mtime = plan.now;
    row.exec_bit = 0;
    row.content_id = 0;
    row.subtree_max = id;
    if ((found == 1 ? txn.UpdateObject(row) : txn.InsertObject(row)) != 0) return -1;
    if (txn.RaiseAncestorsMax(plan.view_id, folder, id) != 0) return -1;
    parent_id = row.id;
  }
  return 0;
}

}  // namespace

int PrecheckUpload(StoreReader& reader, const UploadPlan& plan, ObjectRow* current) {
  ObjectRow obj;
  bool live = false;
  int rc = CheckPath(reader, plan, obj, live);
  if (rc != 0) return rc;
  bool as_it_stands = false;
  rc = Decide(plan, obj, live, as_it_stands);
  if (rc == 0 && current != nullptr) *current = live ? obj : ObjectRow();
  return rc;
}

int ApplyUpload(StoreTxn& txn, const UploadPlan& plan, CommitEffects& effects, UploadResult& result) {
  ObjectRow obj;
  bool live = false;
  int rc = CheckPath(txn, plan, obj, live);
  if (rc != 0) return rc;
  bool as_it_stands = false;
  rc = Decide(plan, obj, live, as_it_stands);
  if (rc != 0) return rc;
  result.is_dir = plan.is_dir;
  if (as_it_stands) {
    result.sync_id = obj.sync_id;
    return 0;
  }

  // The content of a file's new version.
  int64_t content_id = 0;
  uint64_t size = 0;
  std::string md4;
  if (!plan.is_dir) {
    switch (plan.content) {
      case UploadPlan::Content::kCurrent:
        content_id = obj.content_id;
        size = obj.size;
        md4 = obj.md4;
        break;
      case UploadPlan::Content::kStored: {
        ContentRow c;
        int found = txn.GetContent(plan.file_id, c);
        if (found < 0) return -1;
        if (found == 0 || c.user_id != plan.user_id || c.md4 != plan.md4 || c.size != plan.size) return kRedo;
        content_id = c.id;
        size = c.size;
        md4 = c.md4;
        break;
      }
      case UploadPlan::Content::kNew: {
        bool blob_added = false;
        if (txn.AddContent(plan.user_id, plan.md4, plan.size, plan.sha256, content_id, blob_added) != 0) return -1;
        if (blob_added) effects.installs.emplace_back(plan.temp_file, plan.sha256);
        size = plan.size;
        md4 = plan.md4;
        break;
      }
      case UploadPlan::Content::kNone:
        return kRedo;
    }
    const uint64_t old_size = live ? obj.size : 0;
    if (plan.quota != 0 && size > old_size) {
      UserRow user;
      if (txn.GetUser(plan.user_id, user) <= 0) return -1;
      if (user.usage + (size - old_size) > plan.quota) return kQuota;
    }
  }

  int64_t parent_id = 0;
  if (EnsureParents(txn, plan, parent_id) != 0) return -1;
  uint64_t id = 0;
  if (txn.NextSyncId(plan.view_id, id) != 0) return -1;
  effects.changed_view = plan.view_id;

  const uint64_t old_size = live && !obj.is_dir ? obj.size : 0;
  ObjectRow row = obj;
  row.view_id = plan.view_id;
  row.path = plan.path;
  row.parent_id = parent_id;
  row.is_dir = plan.is_dir;
  row.is_removed = false;
  row.sync_id = id;
  row.subtree_max = id;
  row.mtime = plan.mtime_refer ? (live ? obj.mtime : plan.common_mtime) : plan.mtime;
  row.exec_bit = plan.exec_refer ? (live ? obj.exec_bit : 0) : plan.exec_bit;
  row.size = size;
  row.md4 = md4;
  row.content_id = content_id;
  if ((row.id != 0 ? txn.UpdateObject(row) : txn.InsertObject(row)) != 0) return -1;
  if (txn.RaiseAncestorsMax(plan.view_id, plan.path, id) != 0) return -1;
  if (!plan.is_dir) {
    if (txn.AddVersion(row.id, id, content_id, plan.keep_versions, effects.freed_blobs) != 0) return -1;
    if (size != old_size && txn.AddUsage(plan.user_id, static_cast<int64_t>(size) - static_cast<int64_t>(old_size)) != 0) {
      return -1;
    }
  }
  result.sync_id = id;
  return 0;
}

int ApplyRemove(StoreTxn& txn, int64_t user_id, uint64_t view_id, const std::string& path, uint64_t base,
                uint64_t max_id, uint64_t& removed_id) {
  ObjectRow obj;
  int found = txn.GetObject(view_id, path, obj);
  if (found < 0) return -1;
  if (found == 0 || obj.is_removed) return kRemoveGone;
  if (path == "/" || obj.sync_id > base) return kRemoveChanged;
  // Live objects below that this client has not seen (subtree_max counts
  // only live objects, so earlier removals below cannot block it).
  if (obj.is_dir && obj.subtree_max > max_id) return kRemoveChanged;
  uint64_t id = 0;
  if (txn.NextSyncId(view_id, id) != 0) return -1;
  uint64_t freed = 0;
  if (txn.RemoveSubtree(view_id, path, id, freed) < 0) return -1;
  if (txn.RecomputeAncestorsMax(view_id, path) != 0) return -1;
  if (freed != 0 && txn.AddUsage(user_id, -static_cast<int64_t>(freed)) != 0) return -1;
  removed_id = id;
  return 0;
}

}  // namespace tidewell::server
