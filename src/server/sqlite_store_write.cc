// The write side of a SQLite connection: ids, objects, the subtree maxima,
// contents, versions and their reference counts, accounts and tokens.

#include <ctime>

#include "server/path_rules.h"
#include "server/server_log.h"
#include "server/sqlite_store.h"

namespace tidewell::server {

int SqliteConnection::NextSyncId(uint64_t view_id, uint64_t& id) {
  Statement* st = Prepare("UPDATE views SET counter = counter + 1 WHERE id = ?1 RETURNING counter");
  if (st == nullptr) return -1;
  st->BindUint64(1, view_id);
  int rc = st->Step();
  if (rc != SQLITE_ROW) {
    st->Reset();
    return rc == SQLITE_DONE ? -1 : Fail("next sync id");
  }
  id = st->ColumnUint64(0);
  // Step to the end so the statement is finished before it is reset.
  (void)st->Step();
  st->Reset();
  return 0;
}

namespace {

void BindObject(Statement* st, const ObjectRow& o) {
  st->BindUint64(1, o.view_id);
  st->BindText(2, o.path);
  st->BindInt64(3, o.parent_id);
  st->BindInt64(4, o.is_dir ? 1 : 0);
  st->BindInt64(5, o.is_removed ? 1 : 0);
  st->BindUint64(6, o.sync_id);
  st->BindUint64(7, o.size);
  st->BindText(8, o.md4);
  st->BindInt64(9, o.mtime);
  st->BindInt64(10, o.exec_bit);
  st->BindInt64(11, o.content_id);
  st->BindUint64(12, o.subtree_max);
}

}  // namespace

int SqliteConnection::InsertObject(ObjectRow& row) {
  Statement* st = Prepare(
      "INSERT INTO objects(view_id, path, parent_id, is_dir, is_removed, sync_id, size, md4, mtime, exec_bit,"
      " content_id, subtree_max) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)");
  if (st == nullptr) return -1;
  BindObject(st, row);
  if (StepDone(st, "object insert") != 0) return -1;
  row.id = sqlite3_last_insert_rowid(db_);
  return 0;
}

int SqliteConnection::UpdateObject(const ObjectRow& row) {
  Statement* st = Prepare(
      "UPDATE objects SET view_id = ?1, path = ?2, parent_id = ?3, is_dir = ?4, is_removed = ?5, sync_id = ?6,"
      " size = ?7, md4 = ?8, mtime = ?9, exec_bit = ?10, content_id = ?11, subtree_max = ?12 WHERE id = ?13");
  if (st == nullptr) return -1;
  BindObject(st, row);
  st->BindInt64(13, row.id);
  return StepDone(st, "object update");
}

int SqliteConnection::RemoveSubtree(uint64_t view_id, std::string_view path, uint64_t sync_id, uint64_t& freed) {
  const std::string low = SubtreeLow(path);
  const std::string high = SubtreeHigh(path);
  Statement* sum = Prepare(
      "SELECT COALESCE(SUM(size), 0) FROM objects WHERE view_id = ?1 AND is_removed = 0 AND is_dir = 0"
      " AND (path = ?2 OR (path > ?3 AND path < ?4))");
  if (sum == nullptr) return -1;
  sum->BindUint64(1, view_id);
  sum->BindText(2, path);
  sum->BindText(3, low);
  sum->BindText(4, high);
  if (sum->Step() != SQLITE_ROW) {
    sum->Reset();
    return Fail("removal size");
  }
  freed += sum->ColumnUint64(0);
  sum->Reset();
  Statement* st = Prepare(
      "UPDATE objects SET is_removed = 1, sync_id = ?5, subtree_max = 0 WHERE view_id = ?1 AND is_removed = 0"
      " AND (path = ?2 OR (path > ?3 AND path < ?4))");
  if (st == nullptr) return -1;
  st->BindUint64(1, view_id);
  st->BindText(2, path);
  st->BindText(3, low);
  st->BindText(4, high);
  st->BindUint64(5, sync_id);
  if (StepDone(st, "subtree removal") != 0) return -1;
  return sqlite3_changes(db_);
}

int SqliteConnection::RaiseAncestorsMax(uint64_t view_id, std::string_view path, uint64_t sync_id) {
  for (const std::string& folder : AncestorsOf(path)) {
    Statement* st =
        Prepare("UPDATE objects SET subtree_max = ?3 WHERE view_id = ?1 AND path = ?2 AND subtree_max < ?3");
    if (st == nullptr) return -1;
    st->BindUint64(1, view_id);
    st->BindText(2, folder);
    st->BindUint64(3, sync_id);
    if (StepDone(st, "subtree maximum") != 0) return -1;
  }
  return 0;
}

int SqliteConnection::RecomputeAncestorsMax(uint64_t view_id, std::string_view path) {
  std::vector<std::string> folders = AncestorsOf(path);
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    ObjectRow folder;
    int found = GetObject(view_id, *it, folder);
    if (found <= 0) return found < 0 ? -1 : 0;
    Statement* st = Prepare("SELECT COALESCE(MAX(subtree_max), 0) FROM objects WHERE parent_id = ?1 AND is_removed = 0");
    if (st == nullptr) return -1;
    st->BindInt64(1, folder.id);
    if (st->Step() != SQLITE_ROW) {
      st->Reset();
      return Fail("subtree maximum");
    }
    uint64_t best = st->ColumnUint64(0);
    st->Reset();
    if (!folder.is_removed && folder.sync_id > best) best = folder.sync_id;
    if (best == folder.subtree_max) continue;
    folder.subtree_max = best;
    if (UpdateObject(folder) != 0) return -1;
  }
  return 0;
}

int SqliteConnection::AddContent(int64_t user_id, std::string_view md4, uint64_t size, std::string_view sha256,
                                 int64_t& id, bool& blob_added) {
  blob_added = false;
  Statement* find = Prepare("SELECT id FROM contents WHERE user_id = ?1 AND sha256 = ?2");
  if (find == nullptr) return -1;
  find->BindInt64(1, user_id);
  find->BindText(2, sha256);
  int rc = find->Step();
  if (rc == SQLITE_ROW) {
    id = find->ColumnInt64(0);
    find->Reset();
    return 0;
  }
  find->Reset();
  if (rc != SQLITE_DONE) return Fail("content lookup");

  Statement* add = Prepare("INSERT INTO contents(user_id, md4, size, sha256, refs) VALUES(?1, ?2, ?3, ?4, 0)");
  if (add == nullptr) return -1;
  add->BindInt64(1, user_id);
  add->BindText(2, md4);
  add->BindUint64(3, size);
  add->BindText(4, sha256);
  if (StepDone(add, "content insert") != 0) return -1;
  id = sqlite3_last_insert_rowid(db_);

  Statement* ref = Prepare("UPDATE blobs SET refs = refs + 1 WHERE sha256 = ?1");
  if (ref == nullptr) return -1;
  ref->BindText(1, sha256);
  if (StepDone(ref, "blob reference") != 0) return -1;
  if (sqlite3_changes(db_) > 0) return 0;
  Statement* blob = Prepare("INSERT INTO blobs(sha256, size, refs) VALUES(?1, ?2, 1)");
  if (blob == nullptr) return -1;
  blob->BindText(1, sha256);
  blob->BindUint64(2, size);
  if (StepDone(blob, "blob insert") != 0) return -1;
  blob_added = true;
  return 0;
}

int SqliteConnection::ReleaseContent(int64_t content_id, std::vector<std::string>& freed_blobs) {
  Statement* dec = Prepare("UPDATE contents SET refs = refs - 1 WHERE id = ?1 RETURNING refs, sha256");
  if (dec == nullptr) return -1;
  dec->BindInt64(1, content_id);
  if (dec->Step() != SQLITE_ROW) {
    dec->Reset();
    return Fail("content release");
  }
  const int64_t refs = dec->ColumnInt64(0);
  const std::string sha(dec->ColumnText(1));
  (void)dec->Step();
  dec->Reset();
  if (refs > 0) return 0;

  Statement* del = Prepare("DELETE FROM contents WHERE id = ?1");
  if (del == nullptr) return -1;
  del->BindInt64(1, content_id);
  if (StepDone(del, "content delete") != 0) return -1;
  Statement* bdec = Prepare("UPDATE blobs SET refs = refs - 1 WHERE sha256 = ?1 RETURNING refs");
  if (bdec == nullptr) return -1;
  bdec->BindText(1, sha);
  if (bdec->Step() != SQLITE_ROW) {
    bdec->Reset();
    return Fail("blob release");
  }
  const int64_t brefs = bdec->ColumnInt64(0);
  (void)bdec->Step();
  bdec->Reset();
  if (brefs > 0) return 0;
  Statement* bdel = Prepare("DELETE FROM blobs WHERE sha256 = ?1");
  if (bdel == nullptr) return -1;
  bdel->BindText(1, sha);
  if (StepDone(bdel, "blob delete") != 0) return -1;
  freed_blobs.push_back(sha);
  return 0;
}

int SqliteConnection::AddVersion(int64_t object_id, uint64_t sync_id, int64_t content_id, int keep,
                                 std::vector<std::string>& freed_blobs) {
  Statement* add = Prepare("INSERT INTO versions(object_id, sync_id, content_id) VALUES(?1, ?2, ?3)");
  if (add == nullptr) return -1;
  add->BindInt64(1, object_id);
  add->BindUint64(2, sync_id);
  add->BindInt64(3, content_id);
  if (StepDone(add, "version insert") != 0) return -1;
  Statement* ref = Prepare("UPDATE contents SET refs = refs + 1 WHERE id = ?1");
  if (ref == nullptr) return -1;
  ref->BindInt64(1, content_id);
  if (StepDone(ref, "content reference") != 0) return -1;

  Statement* old = Prepare(
      "SELECT sync_id, content_id FROM versions WHERE object_id = ?1 ORDER BY sync_id DESC LIMIT -1 OFFSET ?2");
  if (old == nullptr) return -1;
  old->BindInt64(1, object_id);
  old->BindInt64(2, keep);
  std::vector<std::pair<uint64_t, int64_t>> drop;
  int rc;
  while ((rc = old->Step()) == SQLITE_ROW) drop.emplace_back(old->ColumnUint64(0), old->ColumnInt64(1));
  old->Reset();
  if (rc != SQLITE_DONE) return Fail("version list");
  for (const auto& [sid, cid] : drop) {
    Statement* del = Prepare("DELETE FROM versions WHERE object_id = ?1 AND sync_id = ?2");
    if (del == nullptr) return -1;
    del->BindInt64(1, object_id);
    del->BindUint64(2, sid);
    if (StepDone(del, "version delete") != 0) return -1;
    if (ReleaseContent(cid, freed_blobs) != 0) return -1;
  }
  return 0;
}

int SqliteConnection::AddUsage(int64_t user_id, int64_t delta) {
  Statement* st = Prepare("UPDATE users SET usage = MAX(0, usage + ?2) WHERE id = ?1");
  if (st == nullptr) return -1;
  st->BindInt64(1, user_id);
  st->BindInt64(2, delta);
  return StepDone(st, "usage");
}

int SqliteConnection::PutResumeToken(const ResumeTokenRow& row) {
  Statement* st = Prepare(
      "INSERT OR REPLACE INTO resume_tokens(token, user_id, view_id, path, refused, last_used)"
      " VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
  if (st == nullptr) return -1;
  st->BindText(1, row.token);
  st->BindInt64(2, row.user_id);
  st->BindUint64(3, row.view_id);
  st->BindText(4, row.path);
  st->BindInt64(5, row.refused);
  st->BindInt64(6, row.last_used);
  return StepDone(st, "resume token");
}

int SqliteConnection::DeleteResumeToken(std::string_view token) {
  Statement* st = Prepare("DELETE FROM resume_tokens WHERE token = ?1");
  if (st == nullptr) return -1;
  st->BindText(1, token);
  return StepDone(st, "resume token delete");
}

int SqliteConnection::AddUser(std::string_view name, uint64_t quota, int64_t& id) {
  Statement* st = Prepare("INSERT INTO users(name, quota, usage) VALUES(?1, ?2, 0)");
  if (st == nullptr) return -1;
  st->BindText(1, name);
  st->BindUint64(2, quota);
  if (StepDone(st, "user insert") != 0) return -1;
  id = sqlite3_last_insert_rowid(db_);
  return 0;
}

int SqliteConnection::AddView(int64_t user_id, std::string_view name, uint64_t& id) {
  Statement* st = Prepare("INSERT INTO views(user_id, name, counter) VALUES(?1, ?2, 0)");
  if (st == nullptr) return -1;
  st->BindInt64(1, user_id);
  st->BindText(2, name);
  if (StepDone(st, "view insert") != 0) return -1;
  id = static_cast<uint64_t>(sqlite3_last_insert_rowid(db_));
  ObjectRow root;
  root.view_id = id;
  root.path = "/";
  root.is_dir = true;
  root.mtime = static_cast<uint32_t>(time(nullptr));
  return InsertObject(root);
}

int SqliteConnection::AddToken(int64_t user_id, std::string_view hash) {
  Statement* st = Prepare("INSERT INTO tokens(hash, user_id, created) VALUES(?1, ?2, ?3)");
  if (st == nullptr) return -1;
  st->BindText(1, hash);
  st->BindInt64(2, user_id);
  st->BindInt64(3, static_cast<int64_t>(time(nullptr)));
  return StepDone(st, "token insert");
}

int SqliteConnection::Savepoint() { return Exec("SAVEPOINT step"); }

int SqliteConnection::ReleaseSavepoint() { return Exec("RELEASE step"); }

int SqliteConnection::RollbackToSavepoint() {
  if (Exec("ROLLBACK TO step") != 0) return -1;
  return Exec("RELEASE step");
}

}  // namespace tidewell::server
