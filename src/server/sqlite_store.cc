// Opening the SQLite store, its schema, and the read side of a connection.

#include "server/sqlite_store.h"

#include "server/path_rules.h"
#include "server/server_log.h"

namespace tidewell::server {

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS users(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE,"
    " quota INTEGER NOT NULL DEFAULT 0, usage INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS tokens(hash TEXT PRIMARY KEY, user_id INTEGER NOT NULL,"
    " created INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS views(id INTEGER PRIMARY KEY, user_id INTEGER NOT NULL,"
    " name TEXT NOT NULL, counter INTEGER NOT NULL DEFAULT 0, UNIQUE(user_id, name));"
    "CREATE TABLE IF NOT EXISTS objects(id INTEGER PRIMARY KEY, view_id INTEGER NOT NULL,"
    " path TEXT NOT NULL, parent_id INTEGER NOT NULL, is_dir INTEGER NOT NULL,"
    " is_removed INTEGER NOT NULL, sync_id INTEGER NOT NULL, size INTEGER NOT NULL,"
    " md4 TEXT NOT NULL, mtime INTEGER NOT NULL, exec_bit INTEGER NOT NULL,"
    " content_id INTEGER NOT NULL, subtree_max INTEGER NOT NULL, UNIQUE(view_id, path));"
    "CREATE INDEX IF NOT EXISTS objects_by_sync ON objects(view_id, sync_id, path);"
    "CREATE INDEX IF NOT EXISTS objects_by_parent ON objects(parent_id, is_removed);"
    "CREATE TABLE IF NOT EXISTS contents(id INTEGER PRIMARY KEY, user_id INTEGER NOT NULL,"
    " md4 TEXT NOT NULL, size INTEGER NOT NULL, sha256 TEXT NOT NULL, refs INTEGER NOT NULL,"
    " UNIQUE(user_id, sha256));"
    "CREATE INDEX IF NOT EXISTS contents_by_md4 ON contents(user_id, md4, size);"
    "CREATE TABLE IF NOT EXISTS blobs(sha256 TEXT PRIMARY KEY, size INTEGER NOT NULL,"
    " refs INTEGER NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS versions(object_id INTEGER NOT NULL, sync_id INTEGER NOT NULL,"
    " content_id INTEGER NOT NULL, PRIMARY KEY(object_id, sync_id)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS resume_tokens(token TEXT PRIMARY KEY, user_id INTEGER NOT NULL,"
    " view_id INTEGER NOT NULL, path TEXT NOT NULL, refused INTEGER NOT NULL,"
    " last_used INTEGER NOT NULL);"
    "INSERT OR IGNORE INTO meta VALUES('schema', '1');";

constexpr const char* kObjectColumns =
    "id, view_id, path, parent_id, is_dir, is_removed, sync_id, size, md4, mtime, exec_bit, content_id, subtree_max";

void ReadObject(const Statement& st, ObjectRow& o) {
  o.id = st.ColumnInt64(0);
  o.view_id = st.ColumnUint64(1);
  o.path.assign(st.ColumnText(2));
  o.parent_id = st.ColumnInt64(3);
  o.is_dir = st.ColumnInt64(4) != 0;
  o.is_removed = st.ColumnInt64(5) != 0;
  o.sync_id = st.ColumnUint64(6);
  o.size = st.ColumnUint64(7);
  o.md4.assign(st.ColumnText(8));
  o.mtime = static_cast<uint32_t>(st.ColumnInt64(9));
  o.exec_bit = static_cast<uint32_t>(st.ColumnInt64(10));
  o.content_id = st.ColumnInt64(11);
  o.subtree_max = st.ColumnUint64(12);
}

void ReadUser(const Statement& st, UserRow& u) {
  u.id = st.ColumnInt64(0);
  u.name.assign(st.ColumnText(1));
  u.quota = st.ColumnUint64(2);
  u.usage = st.ColumnUint64(3);
}

void ReadView(const Statement& st, ViewRow& v) {
  v.id = st.ColumnUint64(0);
  v.user_id = st.ColumnInt64(1);
  v.name.assign(st.ColumnText(2));
  v.counter = st.ColumnUint64(3);
}

void ReadContent(const Statement& st, ContentRow& c) {
  c.id = st.ColumnInt64(0);
  c.user_id = st.ColumnInt64(1);
  c.md4.assign(st.ColumnText(2));
  c.size = st.ColumnUint64(3);
  c.sha256.assign(st.ColumnText(4));
  c.refs = st.ColumnInt64(5);
}

void ReadToken(const Statement& st, ResumeTokenRow& t) {
  t.token.assign(st.ColumnText(0));
  t.user_id = st.ColumnInt64(1);
  t.view_id = st.ColumnUint64(2);
  t.path.assign(st.ColumnText(3));
  t.refused = static_cast<uint32_t>(st.ColumnInt64(4));
  t.last_used = st.ColumnInt64(5);
}

sqlite3* OpenDb(const std::string& path, bool create) {
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    SRV_LOG_ERR("cannot open the database '%s': %s", path.c_str(), db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 10000);
  sqlite3_extended_result_codes(db, 1);
  return db;
}

}  // namespace

SqliteConnection::SqliteConnection(sqlite3* db, bool writable) : db_(db), writable_(writable) {}

SqliteConnection::~SqliteConnection() {
  statements_.clear();
  sqlite3_close(db_);
}

int SqliteConnection::Fail(const char* what) {
  SRV_LOG_ERR("database: %s: %s (%d)", what, sqlite3_errmsg(db_), sqlite3_extended_errcode(db_));
  return -1;
}

int SqliteConnection::Exec(const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    SRV_LOG_ERR("database: '%.60s': %s", sql, err ? err : "?");
    sqlite3_free(err);
    return -1;
  }
  return 0;
}

Statement* SqliteConnection::Prepare(const char* sql) {
  auto& slot = statements_[sql];
  if (slot == nullptr) {
    auto st = std::make_unique<Statement>();
    if (st->Prepare(db_, sql, true) != SQLITE_OK) {
      Fail("prepare");
      statements_.erase(sql);
      return nullptr;
    }
    slot = std::move(st);
  }
  slot->Reset();
  return slot.get();
}

int SqliteConnection::StepDone(Statement* st, const char* what) {
  if (st == nullptr) return -1;
  int rc = st->Step();
  st->Reset();
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) return Fail(what);
  return 0;
}

template <typename Row, typename Read>
int SqliteConnection::LookupOne(Statement* st, const char* what, Row& out, Read read) {
  if (st == nullptr) return -1;
  int rc = st->Step();
  if (rc == SQLITE_ROW) {
    read(*st, out);
    st->Reset();
    return 1;
  }
  st->Reset();
  if (rc == SQLITE_DONE) return 0;
  return Fail(what);
}

int SqliteConnection::BeginSnapshot() {
  if (Exec("BEGIN") != 0) return -1;
  in_snapshot_ = true;
  return 0;
}

void SqliteConnection::EndSnapshot() {
  if (in_snapshot_) {
    (void)Exec("COMMIT");
    in_snapshot_ = false;
  }
}

int SqliteConnection::FindUserByTokenHash(std::string_view hash, UserRow& out) {
  Statement* st = Prepare(
      "SELECT users.id, users.name, users.quota, users.usage FROM tokens JOIN users ON users.id = tokens.user_id"
      " WHERE tokens.hash = ?1");
  if (st == nullptr) return -1;
  st->BindText(1, hash);
  return LookupOne(st, "token lookup", out, ReadUser);
}

int SqliteConnection::FindUserByName(std::string_view name, UserRow& out) {
  Statement* st = Prepare("SELECT id, name, quota, usage FROM users WHERE name = ?1");
  if (st == nullptr) return -1;
  st->BindText(1, name);
  return LookupOne(st, "user lookup", out, ReadUser);
}

int SqliteConnection::GetUser(int64_t id, UserRow& out) {
  Statement* st = Prepare("SELECT id, name, quota, usage FROM users WHERE id = ?1");
  if (st == nullptr) return -1;
  st->BindInt64(1, id);
  return LookupOne(st, "user lookup", out, ReadUser);
}

int SqliteConnection::GetView(uint64_t id, ViewRow& out) {
  Statement* st = Prepare("SELECT id, user_id, name, counter FROM views WHERE id = ?1");
  if (st == nullptr) return -1;
  st->BindUint64(1, id);
  return LookupOne(st, "view lookup", out, ReadView);
}

int SqliteConnection::FindView(int64_t user_id, std::string_view name, ViewRow& out) {
  Statement* st = Prepare("SELECT id, user_id, name, counter FROM views WHERE user_id = ?1 AND name = ?2");
  if (st == nullptr) return -1;
  st->BindInt64(1, user_id);
  st->BindText(2, name);
  return LookupOne(st, "view lookup", out, ReadView);
}

int SqliteConnection::GetObject(uint64_t view_id, std::string_view path, ObjectRow& out) {
  static const std::string sql =
      std::string("SELECT ") + kObjectColumns + " FROM objects WHERE view_id = ?1 AND path = ?2";
  Statement* st = Prepare(sql.c_str());
  if (st == nullptr) return -1;
  st->BindUint64(1, view_id);
  st->BindText(2, path);
  return LookupOne(st, "object lookup", out, ReadObject);
}

int SqliteConnection::ListChanges(const ChangeQuery& q, const std::function<bool(const ObjectRow&)>& visit) {
  // One text per combination of the two switches, so each stays a cached
  // statement that the (view_id, sync_id, path) index serves in order.
  static const std::string base = std::string("SELECT ") + kObjectColumns +
                                  " FROM objects WHERE view_id = ?1 AND sync_id > ?2 AND path > ?3 AND path < ?4";
  static const std::string texts[4] = {
      base + " AND parent_id = ?5 AND is_removed = 0 ORDER BY sync_id, path",
      base + " AND parent_id = ?5 ORDER BY sync_id, path",
      base + " AND is_removed = 0 ORDER BY sync_id, path",
      base + " ORDER BY sync_id, path",
  };
  const int which = (q.recursive ? 2 : 0) + (q.include_removed ? 1 : 0);
  Statement* st = Prepare(texts[which].c_str());
  if (st == nullptr) return -1;
  st->BindUint64(1, q.view_id);
  st->BindUint64(2, q.after);
  st->BindText(3, SubtreeLow(q.folder));
  st->BindText(4, SubtreeHigh(q.folder));
  if (!q.recursive) st->BindInt64(5, q.folder_id);
  ObjectRow row;
  int rc;
  while ((rc = st->Step()) == SQLITE_ROW) {
    ReadObject(*st, row);
    if (!visit(row)) break;
  }
  st->Reset();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return Fail("change list");
  return 0;
}

int SqliteConnection::FindContentByMd4(int64_t user_id, std::string_view md4, uint64_t size, ContentRow& out) {
  Statement* st = Prepare(
      "SELECT id, user_id, md4, size, sha256, refs FROM contents WHERE user_id = ?1 AND md4 = ?2 AND size = ?3"
      " ORDER BY id LIMIT 1");
  if (st == nullptr) return -1;
  st->BindInt64(1, user_id);
  st->BindText(2, md4);
  st->BindUint64(3, size);
  return LookupOne(st, "content lookup", out, ReadContent);
}

int SqliteConnection::GetContent(int64_t id, ContentRow& out) {
  Statement* st = Prepare("SELECT id, user_id, md4, size, sha256, refs FROM contents WHERE id = ?1");
  if (st == nullptr) return -1;
  st->BindInt64(1, id);
  return LookupOne(st, "content lookup", out, ReadContent);
}

int SqliteConnection::GetVersionContent(int64_t object_id, uint64_t sync_id, ContentRow& out) {
  Statement* st = Prepare(
      "SELECT contents.id, contents.user_id, contents.md4, contents.size, contents.sha256, contents.refs"
      " FROM versions JOIN contents ON contents.id = versions.content_id"
      " WHERE versions.object_id = ?1 AND versions.sync_id = ?2");
  if (st == nullptr) return -1;
  st->BindInt64(1, object_id);
  st->BindUint64(2, sync_id);
  return LookupOne(st, "version lookup", out, ReadContent);
}

int SqliteConnection::GetResumeToken(std::string_view token, ResumeTokenRow& out) {
  Statement* st =
      Prepare("SELECT token, user_id, view_id, path, refused, last_used FROM resume_tokens WHERE token = ?1");
  if (st == nullptr) return -1;
  st->BindText(1, token);
  return LookupOne(st, "resume token lookup", out, ReadToken);
}

int SqliteConnection::ListResumeTokens(std::vector<ResumeTokenRow>& out) {
  Statement* st = Prepare("SELECT token, user_id, view_id, path, refused, last_used FROM resume_tokens");
  if (st == nullptr) return -1;
  int rc;
  ResumeTokenRow row;
  while ((rc = st->Step()) == SQLITE_ROW) {
    ReadToken(*st, row);
    out.push_back(row);
  }
  st->Reset();
  return rc == SQLITE_DONE ? 0 : Fail("resume token list");
}

int SqliteConnection::ListBlobs(std::vector<std::string>& out) {
  Statement* st = Prepare("SELECT sha256 FROM blobs");
  if (st == nullptr) return -1;
  int rc;
  while ((rc = st->Step()) == SQLITE_ROW) out.emplace_back(st->ColumnText(0));
  st->Reset();
  return rc == SQLITE_DONE ? 0 : Fail("blob list");
}

std::unique_ptr<SqliteStore> SqliteStore::Open(const std::string& path, bool create) {
  sqlite3* db = OpenDb(path, create);
  if (db == nullptr) return nullptr;
  auto writer = std::make_unique<SqliteConnection>(db, true);
  // FULL: a commit is on disk before the reply that announces its sync id.
  if (writer->Exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL;") != 0) return nullptr;
  if (writer->Exec("BEGIN IMMEDIATE") != 0) return nullptr;
  if (writer->Exec(kSchema) != 0) {
    (void)writer->Exec("ROLLBACK");
    return nullptr;
  }
  if (writer->Exec("COMMIT") != 0) return nullptr;
  return std::unique_ptr<SqliteStore>(new SqliteStore(path, std::move(writer)));
}

std::unique_ptr<StoreReader> SqliteStore::NewReader() {
  sqlite3* db = OpenDb(path_, false);
  if (db == nullptr) return nullptr;
  auto conn = std::make_unique<SqliteConnection>(db, false);
  if (conn->Exec("PRAGMA query_only = 1;") != 0) return nullptr;
  return conn;
}

int SqliteStore::Write(const std::function<int(StoreTxn&)>& fn) {
  std::lock_guard<std::mutex> lock(write_lock_);
  if (writer_->Exec("BEGIN IMMEDIATE") != 0) return -1;
  int rc = fn(*writer_);
  if (rc < 0) {
    (void)writer_->Exec("ROLLBACK");
    return rc;
  }
  if (writer_->Exec("COMMIT") != 0) {
    (void)writer_->Exec("ROLLBACK");
    return -1;
  }
  return rc;
}

std::unique_ptr<Store> OpenSqliteStore(const std::string& path, bool create) {
  return SqliteStore::Open(path, create);
}

}  // namespace tidewell::server
