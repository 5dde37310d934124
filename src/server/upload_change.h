// The decision and the writes of an upload, run inside the committer's
// transaction so that they see the state they change: the decision table of
// docs/server-protocol.md (rows 2 to 8), implicit parents, the new version,
// its content and the user's usage. Also the removal of a subtree.
//
// Plain functions; they run on the committer's thread.

#ifndef TIDEWELL_SERVER_UPLOAD_CHANGE_H_
#define TIDEWELL_SERVER_UPLOAD_CHANGE_H_

#include <cstdint>
#include <string>

#include "server/committer.h"
#include "server/store.h"

namespace tidewell::server {

struct UploadPlan {
  int64_t user_id = 0;
  uint64_t view_id = 0;
  std::string path;  // normalised, not "/"
  bool is_dir = false;
  uint64_t base = 0;  // the request's "sync_id"
  uint64_t quota = 0;  // 0: none
  int keep_versions = 8;

  // Content of a file.
  enum class Content { kNone, kCurrent, kStored, kNew };
  Content content = Content::kNone;
  int64_t file_id = 0;     // kStored
  std::string temp_file;   // kNew: the built file, moved into the store
  std::string sha256;      // kNew
  std::string md4;         // kNew and kStored: of the new content
  uint64_t size = 0;       // kNew and kStored
  std::string request_md4;   // "file"."hash" (lower case), for "as it stands"
  uint64_t request_size = 0; // "file"."size"

  bool mtime_refer = false;
  uint32_t mtime = 0;
  uint32_t common_mtime = 0;
  bool exec_refer = true;
  uint32_t exec_bit = 0;
  uint32_t now = 0;  // the server's clock, for implicit folders
};

struct UploadResult {
  uint64_t sync_id = 0;
  bool is_dir = false;
};

// Checks the state at the plan's path without changing anything: 0 when
// the upload may go on, or the server code it would get now (rows 2, 3, 6,
// 7 and "refer" without a current version). For early refusals and the
// probe; the committed change decides again. -1 when the store fails.
int PrecheckUpload(StoreReader& reader, const UploadPlan& plan, ObjectRow* current);

// The committer change of an upload: 0 with `result` filled, a server code
// (refused, nothing written), or -1.
int ApplyUpload(StoreTxn& txn, const UploadPlan& plan, CommitEffects& effects, UploadResult& result);

// The committer change of a removal ("sync_id" `base`, "max_id" `max_id`).
int ApplyRemove(StoreTxn& txn, int64_t user_id, uint64_t view_id, const std::string& path, uint64_t base,
                uint64_t max_id, uint64_t& removed_id);

}  // namespace tidewell::server

#endif  // TIDEWELL_SERVER_UPLOAD_CHANGE_H_
