#include "session/notice_queue.h"

#include <system_error>

#include "base/log.h"

namespace tidewell {
namespace {

using Clock = std::chrono::steady_clock;

const ustring& Comp() {
  static const ustring component("channel_ui_debug");
  return component;
}

// The notices that are coalesced per session and kind.
bool IsFileNotice(const ustring& kind) {
  return kind == ustring("syncing_file") || kind == ustring("recent_file") || kind == ustring("locked_file");
}

}  // namespace

NoticeQueue::NoticeQueue(Sender sender, Options options) : sender_(std::move(sender)), options_(options) {}

NoticeQueue::~NoticeQueue() { Stop(); }

int NoticeQueue::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_ || stopping_) return -1;
  try {
    thread_ = std::thread(&NoticeQueue::Run, this);
  } catch (const std::system_error&) {
    return -1;
  }
  running_ = true;
  thread_running_ = true;
  return 0;
}

void NoticeQueue::Stop() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!running_) {
    stopping_ = true;  // a queue never started cannot be started later
    return;
  }
  stopping_ = true;
  wake_.notify_all();
  if (!wake_.wait_for(lock, options_.stop_grace, [this] { return !thread_running_; })) {
    // A user interface that takes notices too slowly does not hold the
    // daemon's shutdown up: the delivery in progress gives up.
    abort_.store(1);
  }
  lock.unlock();
  thread_.join();
  lock.lock();
  running_ = false;
}

int NoticeQueue::Post(PObject msg, const char* open_failure) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!running_ || stopping_) {
    ++stats_.dropped;
    return -1;
  }
  const ustring& kind = static_cast<const PObject&>(msg)["notify"].asStringRef();
  if (IsFileNotice(kind)) {
    Key key(static_cast<const PObject&>(msg)["session_id"].asUInt64(), kind);
    auto it = slots_.find(key);
    if (it != slots_.end()) {
      it->second.latest = std::move(msg);
      it->second.open_failure = open_failure;
      ++it->second.count;
      ++stats_.merged;
      return 0;
    }
    if (PendingLocked() >= options_.capacity) return DropLocked();
    Clock::time_point now = Clock::now();
    Slot& slot = slots_[key];
    slot.latest = std::move(msg);
    slot.open_failure = open_failure;
    slot.count = 1;
    slot.due = now;
    auto sent = last_sent_.find(key);
    if (sent != last_sent_.end() && sent->second + options_.window > now) slot.due = sent->second + options_.window;
    ++pending_slots_;
  } else {
    if (PendingLocked() >= options_.capacity) return DropLocked();
    plain_.push_back(Plain{std::move(msg), open_failure});
  }
  drop_logged_ = false;
  wake_.notify_all();
  return 0;
}

int NoticeQueue::DropLocked() {
  ++stats_.dropped;
  if (!drop_logged_) {
    drop_logged_ = true;
    TW_LOG_WARNING(Comp(), "ui-ipc", "too many notices waiting for the user interface, dropping new ones\n");
  }
  return -1;
}

void NoticeQueue::TakeDueLocked(Clock::time_point now, bool everything, std::deque<Plain>& out,
                                Clock::time_point& next_due) {
  next_due = Clock::time_point::max();
  while (!plain_.empty()) {
    out.push_back(std::move(plain_.front()));
    plain_.pop_front();
  }
  for (auto it = slots_.begin(); it != slots_.end();) {
    Slot& slot = it->second;
    if (!everything && slot.due > now) {
      if (slot.due < next_due) next_due = slot.due;
      ++it;
      continue;
    }
    if (slot.count > 1) slot.latest["count"] = static_cast<unsigned long long>(slot.count);
    out.push_back(Plain{std::move(slot.latest), slot.open_failure});
    last_sent_[it->first] = now;
    --pending_slots_;
    it = slots_.erase(it);
  }
  for (auto it = last_sent_.begin(); it != last_sent_.end();) {
    if (it->second + options_.window <= now && slots_.find(it->first) == slots_.end()) {
      it = last_sent_.erase(it);
    } else {
      ++it;
    }
  }
}

void NoticeQueue::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    std::deque<Plain> batch;
    Clock::time_point next_due;
    TakeDueLocked(Clock::now(), stopping_, batch, next_due);
    if (batch.empty()) {
      if (stopping_) break;
      if (next_due == Clock::time_point::max()) {
        wake_.wait(lock);
      } else {
        wake_.wait_until(lock, next_due);
      }
      continue;
    }
    in_flight_ = batch.size();
    lock.unlock();
    uint64_t sent = 0;
    uint64_t failed = 0;
    uint64_t dropped = 0;
    for (Plain& item : batch) {
      if (abort_.load() != 0) {
        ++dropped;
        continue;
      }
      if (sender_(item.msg, item.open_failure, &abort_) == 0) {
        ++sent;
      } else {
        ++failed;
      }
    }
    lock.lock();
    in_flight_ = 0;
    stats_.sent += sent;
    stats_.failed += failed;
    stats_.dropped += dropped;
    if (dropped > 0) {
      TW_LOG_WARNING(Comp(), "ui-ipc", "%llu notices to the user interface dropped at shutdown\n",
                     static_cast<unsigned long long>(dropped));
    }
  }
  thread_running_ = false;
  wake_.notify_all();
}

NoticeQueue::Stats NoticeQueue::GetStats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

}  // namespace tidewell
