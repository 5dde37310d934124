// The server's metadata store: users and their session tokens, views, the
// object tree of each view with its per-view sync id counter, the versions
// kept of each file, the contents they refer to (per user, for
// de-duplication), the blobs holding the bytes (keyed by SHA-256), and the
// resume tokens of interrupted uploads. docs/server-store.md has the layout.
//
// The interface is narrow on purpose so that another database can stand
// behind it; its promises, which every implementation keeps:
//   - A StoreTxn is one transaction: everything it writes becomes visible at
//     once when Write() commits, or not at all.
//   - NextSyncId takes the view's next id under the view's lock, held until
//     the transaction ends; so ids become visible in id order, and a reader
//     never sees id n+1 without id n.
//   - Between BeginSnapshot and EndSnapshot a reader sees one committed
//     state: a pull's list and the counter it reports come from the same
//     moment.
//
// Results: 0 (or a count) on success, -1 on failure (logged); lookups 1
// found, 0 not found, -1 failure.
//
// Thread-safety: Store is thread-safe. A StoreReader belongs to one thread
// at a time; a StoreTxn only to the Write() call that hands it out.

#ifndef TIDEWELL_SERVER_STORE_H_
#define TIDEWELL_SERVER_STORE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tidewell::server {

struct UserRow {
  int64_t id = 0;
  std::string name;
  uint64_t quota = 0;  // bytes; 0: the server's default
  uint64_t usage = 0;  // bytes of the current content of live files
};

struct ViewRow {
  uint64_t id = 0;
  int64_t user_id = 0;
  std::string name;
  uint64_t counter = 0;  // the last sync id taken
};

struct ObjectRow {
  int64_t id = 0;  // row id; 0 before insertion
  uint64_t view_id = 0;
  std::string path;  // normalised, "/" for the root
  int64_t parent_id = 0;  // row id of the folder holding it; 0 for the root
  bool is_dir = false;
  bool is_removed = false;
  uint64_t sync_id = 0;  // its own: the id of its last change
  uint64_t size = 0;
  std::string md4;  // MD4 of the content, 32 lower-case hex characters
  uint32_t mtime = 0;
  uint32_t exec_bit = 0;
  int64_t content_id = 0;  // the current content (files); 0 for folders
  uint64_t subtree_max = 0;  // highest own sync id of live objects at or below it
};

struct ContentRow {
  int64_t id = 0;  // the "file_id" of the de-duplication probe
  int64_t user_id = 0;
  std::string md4;
  uint64_t size = 0;
  std::string sha256;  // the blob holding the bytes
  int64_t refs = 0;  // versions referring to it
};

struct ResumeTokenRow {
  std::string token;
  int64_t user_id = 0;
  uint64_t view_id = 0;
  std::string path;  // named by the upload's probe; "" until then
  uint32_t refused = 0;  // server code of the last refused body, or 0
  int64_t last_used = 0;  // seconds since 1970
};

// Which changes a pull visits.
struct ChangeQuery {
  uint64_t view_id = 0;
  std::string folder;  // objects strictly below it
  int64_t folder_id = 0;  // its row id (for direct children)
  uint64_t after = 0;  // own sync id above this
  bool recursive = true;  // false: direct children only
  bool include_removed = true;
};

class StoreReader {
 public:
  virtual ~StoreReader() = default;

  // Reads until EndSnapshot see one committed state. 0 or -1.
  [[nodiscard]] virtual int BeginSnapshot() = 0;
  virtual void EndSnapshot() = 0;

  virtual int FindUserByTokenHash(std::string_view hash, UserRow& out) = 0;
  virtual int FindUserByName(std::string_view name, UserRow& out) = 0;
  virtual int GetUser(int64_t id, UserRow& out) = 0;
  virtual int GetView(uint64_t id, ViewRow& out) = 0;
  virtual int FindView(int64_t user_id, std::string_view name, ViewRow& out) = 0;
  virtual int GetObject(uint64_t view_id, std::string_view path, ObjectRow& out) = 0;
  // Visits the objects of `q` in ascending (sync_id, path) until `visit`
  // returns false. 0 or -1.
  [[nodiscard]] virtual int ListChanges(const ChangeQuery& q, const std::function<bool(const ObjectRow&)>& visit) = 0;
  // The user's content with this MD4 and size (the lowest id when several).
  virtual int FindContentByMd4(int64_t user_id, std::string_view md4, uint64_t size, ContentRow& out) = 0;
  virtual int GetContent(int64_t id, ContentRow& out) = 0;
  // The content of the kept version `sync_id` of an object.
  virtual int GetVersionContent(int64_t object_id, uint64_t sync_id, ContentRow& out) = 0;
  virtual int GetResumeToken(std::string_view token, ResumeTokenRow& out) = 0;
  [[nodiscard]] virtual int ListResumeTokens(std::vector<ResumeTokenRow>& out) = 0;
  // Every blob the store refers to, as SHA-256 text. 0 or -1.
  [[nodiscard]] virtual int ListBlobs(std::vector<std::string>& out) = 0;
};

class StoreTxn : public StoreReader {
 public:
  // Takes the view's next sync id (see the file comment).
  [[nodiscard]] virtual int NextSyncId(uint64_t view_id, uint64_t& id) = 0;
  // Inserts `row` and sets row.id.
  [[nodiscard]] virtual int InsertObject(ObjectRow& row) = 0;
  // Writes every field of the row with row.id.
  [[nodiscard]] virtual int UpdateObject(const ObjectRow& row) = 0;
  // Marks every live object at or below `path` removed under `sync_id`
  // (subtree_max of each becomes 0) and adds the sizes of the live files
  // among them to `freed`. Returns how many were removed, or -1.
  virtual int RemoveSubtree(uint64_t view_id, std::string_view path, uint64_t sync_id, uint64_t& freed) = 0;
  // Raises subtree_max of every folder above `path` to at least `sync_id`.
  [[nodiscard]] virtual int RaiseAncestorsMax(uint64_t view_id, std::string_view path, uint64_t sync_id) = 0;
  // Recomputes subtree_max of every folder above `path`, nearest first, from
  // its own id and its live children's values.
  [[nodiscard]] virtual int RecomputeAncestorsMax(uint64_t view_id, std::string_view path) = 0;
  // Finds the user's content with this SHA-256 or adds it with no
  // reference. `blob_added` tells whether the blob is new to the store: its
  // file must then be in place before the commit.
  [[nodiscard]] virtual int AddContent(int64_t user_id, std::string_view md4, uint64_t size, std::string_view sha256,
                                       int64_t& id, bool& blob_added) = 0;
  // Records version `sync_id` of an object with its content, then drops its
  // oldest versions beyond `keep`, and with them contents and blobs nothing
  // refers to any more; the SHA-256 of each blob dropped goes to
  // `freed_blobs` (its file may go once the transaction has committed).
  [[nodiscard]] virtual int AddVersion(int64_t object_id, uint64_t sync_id, int64_t content_id, int keep,
                                       std::vector<std::string>& freed_blobs) = 0;
  [[nodiscard]] virtual int AddUsage(int64_t user_id, int64_t delta) = 0;
  [[nodiscard]] virtual int PutResumeToken(const ResumeTokenRow& row) = 0;
  [[nodiscard]] virtual int DeleteResumeToken(std::string_view token) = 0;

  // Accounts, views and tokens. AddView also creates the view's root.
  [[nodiscard]] virtual int AddUser(std::string_view name, uint64_t quota, int64_t& id) = 0;
  [[nodiscard]] virtual int AddView(int64_t user_id, std::string_view name, uint64_t& id) = 0;
  [[nodiscard]] virtual int AddToken(int64_t user_id, std::string_view hash) = 0;

  // Nested undo points: RollbackToSavepoint undoes everything since the
  // matching Savepoint; ReleaseSavepoint keeps it.
  [[nodiscard]] virtual int Savepoint() = 0;
  [[nodiscard]] virtual int ReleaseSavepoint() = 0;
  [[nodiscard]] virtual int RollbackToSavepoint() = 0;
};

class Store {
 public:
  virtual ~Store() = default;

  // A reader on its own connection.
  [[nodiscard]] virtual std::unique_ptr<StoreReader> NewReader() = 0;

  // Runs `fn` in one write transaction, committed durably when it returns 0
  // or more, rolled back otherwise. Writers are serialised. Returns fn's
  // result, or -1 when the transaction cannot begin or commit (nothing of it
  // is then visible).
  virtual int Write(const std::function<int(StoreTxn&)>& fn) = 0;
};

// Opens (creating when `create` is set) the SQLite store at `path`.
// Returns null after logging why.
std::unique_ptr<Store> OpenSqliteStore(const std::string& path, bool create);

}  // namespace tidewell::server

#endif  // TIDEWELL_SERVER_STORE_H_
