// What every connection of the server shares: the options it was started
// with, the store, the blob folder, the committer, the views' change counts
// that waiting pulls sleep on, the live resume tokens, and the paths whose
// uploads are being processed right now.
//
// Thread-safety: the members are thread-safe themselves; the options are
// read-only once the server runs.

#ifndef TIDEWELL_SERVER_SERVER_CONTEXT_H_
#define TIDEWELL_SERVER_SERVER_CONTEXT_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "server/committer.h"
#include "server/content_store.h"
#include "server/resume_registry.h"
#include "server/store.h"
#include "server/view_changes.h"

namespace tidewell::server {

struct ServerOptions {
  std::string data_dir;
  std::string listen_address = "127.0.0.1";
  int port = 6690;  // 0: any free port
  size_t max_connections = 64;
  uint64_t quota = 0;  // bytes per user unless the user has their own; 0: none
  std::string cert_file;  // PEM; empty: DIR/server.crt when it exists
  std::string key_file;   // PEM; empty: DIR/server.key when it exists
  uint32_t alive_seconds = 120;  // granted in every reply
  uint32_t idle_margin_seconds = 30;  // silence tolerated beyond "alive"
  uint32_t stall_seconds = 60;  // no progress inside a request
  uint32_t keep_alive_seconds = 5;  // between keep-alive objects
  int keep_versions = 8;  // versions kept per file
  uint64_t disk_reserve = 64ull << 20;  // bytes left free on the disk
  uint32_t token_idle_seconds = 24 * 3600;  // resume tokens expire
  // Offer waiting pulls ("pull_wait" in the connect reply) and honour a
  // pull's "wait_ms"; off, the server answers as one that never knew them.
  bool pull_wait = true;
};

// The uploads being processed, by (view, path): a second upload of the same
// path while one runs is refused rather than queued.
class PathClaims {
 public:
  bool TryClaim(uint64_t view_id, const std::string& path);
  void Release(uint64_t view_id, const std::string& path);

 private:
  std::mutex lock_;
  std::set<std::pair<uint64_t, std::string>> claimed_;  // guarded by lock_
};

// Holds a claim for its lifetime.
class PathClaim {
 public:
  PathClaim(PathClaims& claims, uint64_t view_id, std::string path)
      : claims_(claims), view_id_(view_id), path_(std::move(path)), held_(claims.TryClaim(view_id_, path_)) {}
  ~PathClaim() {
    if (held_) claims_.Release(view_id_, path_);
  }
  PathClaim(const PathClaim&) = delete;
  PathClaim& operator=(const PathClaim&) = delete;
  bool held() const { return held_; }

 private:
  PathClaims& claims_;
  const uint64_t view_id_;
  const std::string path_;
  const bool held_;
};

struct ServerContext {
  ServerContext(ServerOptions opts, std::unique_ptr<Store> st)
      : options(std::move(opts)),
        store(std::move(st)),
        content(options.data_dir),
        committer(*store, content, changes) {}

  // The quota that applies to `user_quota` (a user's own setting); 0: none.
  uint64_t QuotaFor(uint64_t user_quota) const { return user_quota != 0 ? user_quota : options.quota; }

  const ServerOptions options;
  const std::unique_ptr<Store> store;
  ContentStore content;
  ViewChanges changes;  // before the committer, which announces to it
  Committer committer;
  ResumeRegistry resumes;
  PathClaims claims;
  bool ssl_enabled = false;  // set before connections start
  std::atomic<uint64_t> next_connection_id{1};
};

}  // namespace tidewell::server

#endif  // TIDEWELL_SERVER_SERVER_CONTEXT_H_
