// Live state of resume tokens, beside their rows in the store: which
// connection is receiving a body for a token (so that another connection
// can take over a receive whose client went away), the running digests of
// an upload body as it is appended, and the prepared body of a download so
// that a later request can continue it from an offset.
//
// A token is known here from its "resume_get_token" until it is consumed or
// expires; after a restart an upload token comes back from its store row.
//
// Thread-safety: every method may be called from any thread.

#ifndef TIDEWELL_SERVER_RESUME_REGISTRY_H_
#define TIDEWELL_SERVER_RESUME_REGISTRY_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "net/pobject.h"
#include "server/content_hasher.h"

namespace tidewell::server {

// A prepared download body.
struct DownloadBody {
  std::string file;     // the bytes to send
  bool owned = false;   // a prepared delta, deleted with the token
  uint64_t length = 0;  // bytes of the body
  PObject reply;        // the reply's members, "file"."data" left out
};

class ResumeRegistry {
 public:
  // Digests of an upload body appended so far; valid while `bytes` equals
  // what the token's file holds.
  struct UploadDigest {
    std::unique_ptr<ContentHasher> hasher;
    uint64_t bytes = 0;
  };

  ResumeRegistry() = default;
  ~ResumeRegistry();
  ResumeRegistry(const ResumeRegistry&) = delete;
  ResumeRegistry& operator=(const ResumeRegistry&) = delete;

  // Registers a new token for `user_id` and `view_id`.
  void Add(const std::string& token, int64_t user_id, uint64_t view_id);
  // Registers a token read back from the store (no-op when known).
  void Restore(const std::string& token, int64_t user_id, uint64_t view_id);
  // True, with its owner, when the token is known.
  bool Lookup(const std::string& token, int64_t& user_id, uint64_t& view_id);
  // Forgets a token; a prepared download delta is deleted.
  void Remove(const std::string& token);

  // Makes `conn_id` the token's receiver. A receive by another connection
  // still running is stopped first: its abort flag is raised and its
  // release awaited for at most `wait`. False when the token is unknown or
  // the other receive did not let go in time.
  bool ClaimReceive(const std::string& token, uint64_t conn_id, std::atomic<int>* abort_flag,
                    std::chrono::milliseconds wait);
  // Ends `conn_id`'s receive (no-op when it is not the receiver).
  void ReleaseReceive(const std::string& token, uint64_t conn_id);

  // Moves the running digest out of / back into the token's state.
  UploadDigest TakeDigest(const std::string& token);
  void PutDigest(const std::string& token, UploadDigest digest);

  // The prepared download body: stored (replacing and deleting an earlier
  // owned one) and read back. Get returns false when there is none.
  void SetDownload(const std::string& token, DownloadBody body);
  bool GetDownload(const std::string& token, DownloadBody& out);

  // The server code with which the last body for the token was refused
  // (0: none); a later "resume_get_status" answers it.
  void SetRefused(const std::string& token, uint32_t code);
  uint32_t Refused(const std::string& token);

  // Forgets tokens unused for `idle` (deleting their prepared deltas) and
  // returns them, so that the caller can drop their rows and bytes.
  std::vector<std::string> Expire(std::chrono::seconds idle);

 private:
  struct Entry {
    int64_t user_id = 0;
    uint64_t view_id = 0;
    uint64_t receiver = 0;  // connection id; 0 = none
    std::atomic<int>* receiver_abort = nullptr;
    UploadDigest digest;
    uint32_t refused = 0;
    bool has_download = false;
    DownloadBody download;
    std::chrono::steady_clock::time_point last_used;
  };

  // Guarded by lock_.
  std::mutex lock_;
  std::condition_variable released_;
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace tidewell::server

#endif  // TIDEWELL_SERVER_RESUME_REGISTRY_H_
