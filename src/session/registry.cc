#include "session/registry.h"

namespace tidewell {

Registry& Registry::getInstance() {
  static Registry instance;
  return instance;
}

void Registry::Set(const Entry& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  index_[entry.sess_id] = entry;
}

int Registry::Find(uint64_t sess_id, Entry& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = index_.find(sess_id);
  if (it == index_.end()) return 0;
  out = it->second;
  return 1;
}

int Registry::Update(uint64_t sess_id, const std::function<void(Entry&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = index_.find(sess_id);
  if (it == index_.end()) return 0;
  change(it->second);
  it->second.sess_id = sess_id;
  return 1;
}

bool Registry::FindNext(uint64_t sess_id, Entry& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index_.empty()) return false;
  auto it = index_.find(sess_id);
  if (it != index_.end()) ++it;
  if (it == index_.end()) it = index_.begin();
  out = it->second;
  return true;
}

void Registry::Remove(uint64_t sess_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  index_.erase(sess_id);
}

void Registry::ReleaseObjects(Entry& e) {
  e.event_db.reset();
  e.white_list.reset();
  e.black_list.reset();
}

void Registry::Clear(uint64_t sess_id) {
  Entry dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = index_.find(sess_id);
    if (it == index_.end()) return;
    dropped = std::move(it->second);
    index_.erase(it);
  }
  // Outside the lock: the last reference may close a database.
  ReleaseObjects(dropped);
}

void Registry::Clear() {
  std::map<uint64_t, Entry> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped.swap(index_);
  }
  for (auto& [id, e] : dropped) ReleaseObjects(e);
}

void Registry::InitRecycleTime(const Entry& entry, uint32_t t) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = index_.find(entry.sess_id);
  if (it == index_.end()) return;
  uint32_t& rt = it->second.recycle_time;
  if (rt == 0 || rt > t) rt = t;
}

void Registry::UpdateRecycleTime(const Entry& entry, uint32_t t) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = index_.find(entry.sess_id);
  if (it != index_.end()) it->second.recycle_time = t;
}

size_t Registry::Size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return index_.size();
}

}  // namespace tidewell
