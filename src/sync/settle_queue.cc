#include "sync/settle_queue.h"

#include <algorithm>

namespace tidewell {

SettleQueue::SettleQueue(Millis delay, Millis ceiling) : delay_(delay), ceiling_(ceiling) {}

void SettleQueue::Hold(const std::string& path, Event::Type type, const FileStamp& stamp, Clock::time_point now) {
  auto it = held_.find(path);
  if (it != held_.end()) {
    it->second.type = type;
    return;
  }
  held_.emplace(path, Entry{type, stamp, now + delay_, delay_});
}

bool SettleQueue::Release(const std::string& path, Event::Type* type) {
  auto it = held_.find(path);
  if (it == held_.end()) return false;
  if (type != nullptr) *type = it->second.type;
  held_.erase(it);
  return true;
}

std::vector<SettleQueue::Settled> SettleQueue::TakeSettled(Clock::time_point now, const StampFn& stamp,
                                                          std::vector<StillChanging>* changing) {
  std::vector<Settled> settled;
  for (auto it = held_.begin(); it != held_.end();) {
    Entry& e = it->second;
    if (e.due > now) {
      ++it;
      continue;
    }
    FileStamp seen;
    if (stamp(it->first, seen) < 0) {
      // Cannot tell; look again later rather than hand on a guess.
      e.wait = std::min(e.wait * 2, ceiling_);
      e.due = now + e.wait;
      ++it;
      continue;
    }
    if (!seen.exists || seen.type != FT_FILE) {
      it = held_.erase(it);
      continue;
    }
    if (seen == e.stamp) {
      settled.push_back({it->first, e.type});
      it = held_.erase(it);
      continue;
    }
    e.stamp = seen;
    e.wait = std::max(delay_, std::min(e.wait * 2, ceiling_));
    e.due = now + e.wait;
    if (changing != nullptr) changing->push_back({it->first, e.wait});
    ++it;
  }
  return settled;
}

SettleQueue::Clock::time_point SettleQueue::NextDue() const {
  Clock::time_point next = Clock::time_point::max();
  for (const auto& [path, e] : held_) next = std::min(next, e.due);
  return next;
}

}  // namespace tidewell
