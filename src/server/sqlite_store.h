// The SQLite store behind the Store interface: one database file in WAL
// mode, one connection per reader, one writer connection whose transactions
// are serialised by a mutex (and by SQLite's own write lock against other
// processes, such as the administration commands). The database's single
// write lock is the per-view lock of NextSyncId. Every SQL text of the
// server is in sqlite_store.cc and sqlite_store_write.cc.
//
// Thread-safety: SqliteStore is thread-safe; a SqliteConnection belongs to
// one thread at a time.

#ifndef TIDEWELL_SERVER_SQLITE_STORE_H_
#define TIDEWELL_SERVER_SQLITE_STORE_H_

#include <sqlite3.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "db/sqlite_util.h"
#include "server/store.h"

namespace tidewell::server {

class SqliteConnection : public StoreTxn {
 public:
  // Takes ownership of `db`.
  SqliteConnection(sqlite3* db, bool writable);
  ~SqliteConnection() override;

  // Runs a statement without results. 0 or -1 (logged).
  int Exec(const char* sql);

  // StoreReader
  int BeginSnapshot() override;
  void EndSnapshot() override;
  int FindUserByTokenHash(std::string_view hash, UserRow& out) override;
  int FindUserByName(std::string_view name, UserRow& out) override;
  int GetUser(int64_t id, UserRow& out) override;
  int GetView(uint64_t id, ViewRow& out) override;
  int FindView(int64_t user_id, std::string_view name, ViewRow& out) override;
  int GetObject(uint64_t view_id, std::string_view path, ObjectRow& out) override;
  int ListChanges(const ChangeQuery& q, const std::function<bool(const ObjectRow&)>& visit) override;
  int FindContentByMd4(int64_t user_id, std::string_view md4, uint64_t size, ContentRow& out) override;
  int GetContent(int64_t id, ContentRow& out) override;
  int GetVersionContent(int64_t object_id, uint64_t sync_id, ContentRow& out) override;
  int GetResumeToken(std::string_view token, ResumeTokenRow& out) override;
  int ListResumeTokens(std::vector<ResumeTokenRow>& out) override;
  int ListBlobs(std::vector<std::string>& out) override;

  // StoreTxn (sqlite_store_write.cc)
  int NextSyncId(uint64_t view_id, uint64_t& id) override;
  int InsertObject(ObjectRow& row) override;
  int UpdateObject(const ObjectRow& row) override;
  int RemoveSubtree(uint64_t view_id, std::string_view path, uint64_t sync_id, uint64_t& freed) override;
  int RaiseAncestorsMax(uint64_t view_id, std::string_view path, uint64_t sync_id) override;
  int RecomputeAncestorsMax(uint64_t view_id, std::string_view path) override;
  int AddContent(int64_t user_id, std::string_view md4, uint64_t size, std::string_view sha256, int64_t& id,
                 bool& blob_added) override;
  int AddVersion(int64_t object_id, uint64_t sync_id, int64_t content_id, int keep,
                 std::vector<std::string>& freed_blobs) override;
  int AddUsage(int64_t user_id, int64_t delta) override;
  int PutResumeToken(const ResumeTokenRow& row) override;
  int DeleteResumeToken(std::string_view token) override;
  int AddUser(std::string_view name, uint64_t quota, int64_t& id) override;
  int AddView(int64_t user_id, std::string_view name, uint64_t& id) override;
  int AddToken(int64_t user_id, std::string_view hash) override;
  int Savepoint() override;
  int ReleaseSavepoint() override;
  int RollbackToSavepoint() override;

 private:
  // The cached statement for `sql` (a string literal: cached by address),
  // reset and ready for binding; null after logging when it cannot be
  // prepared.
  Statement* Prepare(const char* sql);
  // Logs the connection's last error for `what` and returns -1.
  int Fail(const char* what);
  // Steps a statement that returns no rows. 0 or -1.
  int StepDone(Statement* st, const char* what);
  // One-row lookups: 1 with the row read by `read`, 0, -1.
  template <typename Row, typename Read>
  int LookupOne(Statement* st, const char* what, Row& out, Read read);
  // Drops one reference to a content row, and the content and its blob when
  // nothing refers to them any more.
  int ReleaseContent(int64_t content_id, std::vector<std::string>& freed_blobs);

  sqlite3* db_;
  const bool writable_;
  bool in_snapshot_ = false;
  std::unordered_map<const char*, std::unique_ptr<Statement>> statements_;
};

class SqliteStore : public Store {
 public:
  // Opens or creates the database; null after logging on failure.
  static std::unique_ptr<SqliteStore> Open(const std::string& path, bool create);

  std::unique_ptr<StoreReader> NewReader() override;
  int Write(const std::function<int(StoreTxn&)>& fn) override;

 private:
  SqliteStore(std::string path, std::unique_ptr<SqliteConnection> writer)
      : path_(std::move(path)), writer_(std::move(writer)) {}

  // Set at construction.
  const std::string path_;

  // Guarded by write_lock_.
  std::mutex write_lock_;
  std::unique_ptr<SqliteConnection> writer_;
};

}  // namespace tidewell::server

#endif  // TIDEWELL_SERVER_SQLITE_STORE_H_
