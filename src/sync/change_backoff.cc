#include "sync/change_backoff.h"

#include <algorithm>
#include <vector>

namespace tidewell {

void ChangeBackoff::SetDelays(std::chrono::milliseconds first, std::chrono::milliseconds cap) {
  std::lock_guard<std::mutex> lock(mutex_);
  first_ = first;
  cap_ = std::max(first, cap);
}

std::chrono::milliseconds ChangeBackoff::Changed(uint64_t sess_id, const ustring& path, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& e = table_[Key(sess_id, std::string(path.utf8_view()))];
  ++e.changes;
  std::chrono::milliseconds wait = first_;
  for (int i = 1; i < e.changes && wait < cap_; ++i) wait *= 2;
  wait = std::min(wait, cap_);
  e.due = now + wait;
  if (table_.size() > kMaxEntries) PruneLocked();
  return wait;
}

bool ChangeBackoff::Due(uint64_t sess_id, const ustring& path, Clock::time_point now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = table_.find(Key(sess_id, std::string(path.utf8_view())));
  return it == table_.end() || it->second.due <= now;
}

void ChangeBackoff::Settled(uint64_t sess_id, const ustring& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  table_.erase(Key(sess_id, std::string(path.utf8_view())));
}

int ChangeBackoff::Changes(uint64_t sess_id, const ustring& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = table_.find(Key(sess_id, std::string(path.utf8_view())));
  return it == table_.end() ? 0 : it->second.changes;
}

// Drops the quarter of the entries that have been due the longest.
void ChangeBackoff::PruneLocked() {
  std::vector<std::pair<Clock::time_point, Key>> order;
  order.reserve(table_.size());
  for (const auto& [key, e] : table_) order.emplace_back(e.due, key);
  size_t drop = table_.size() - kMaxEntries * 3 / 4;
  std::nth_element(order.begin(), order.begin() + static_cast<long>(drop), order.end());
  for (size_t i = 0; i < drop; ++i) table_.erase(order[i].second);
}

}  // namespace tidewell
