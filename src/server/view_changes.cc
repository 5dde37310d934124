#include "server/view_changes.h"

#include <algorithm>

namespace tidewell::server {

uint64_t ViewChanges::Count(uint64_t view_id) const {
  std::lock_guard<std::mutex> lock(lock_);
  auto it = counts_.find(view_id);
  return it == counts_.end() ? 0 : it->second;
}

void ViewChanges::Notify(const std::vector<uint64_t>& view_ids) {
  if (view_ids.empty()) return;
  std::vector<uint64_t> views = view_ids;
  std::sort(views.begin(), views.end());
  views.erase(std::unique(views.begin(), views.end()), views.end());
  {
    std::lock_guard<std::mutex> lock(lock_);
    for (uint64_t v : views) ++counts_[v];
  }
  changed_.notify_all();
}

ViewChanges::Wake ViewChanges::WaitForChange(uint64_t view_id, uint64_t& seen,
                                             std::chrono::steady_clock::time_point deadline,
                                             const std::function<bool()>& give_up, std::chrono::milliseconds poll) {
  for (;;) {
    if (give_up && give_up()) return Wake::kGaveUp;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return Wake::kTimeout;
    const auto until = std::min(deadline, now + poll);
    std::unique_lock<std::mutex> lock(lock_);
    auto moved = [&] {
      auto it = counts_.find(view_id);
      return (it == counts_.end() ? 0 : it->second) != seen;
    };
    if (changed_.wait_until(lock, until, moved)) {
      seen = counts_[view_id];
      return Wake::kChanged;
    }
  }
}

}  // namespace tidewell::server
