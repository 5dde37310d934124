#include "server/server_context.h"

namespace tidewell::server {

bool PathClaims::TryClaim(uint64_t view_id, const std::string& path) {
  std::lock_guard<std::mutex> lock(lock_);
  return claimed_.emplace(view_id, path).second;
}

void PathClaims::Release(uint64_t view_id, const std::string& path) {
  std::lock_guard<std::mutex> lock(lock_);
  claimed_.erase({view_id, path});
}

}  // namespace tidewell::server
