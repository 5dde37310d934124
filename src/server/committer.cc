#include "server/committer.h"

#include <unordered_map>

#include "server/server_log.h"

namespace tidewell::server {

bool CommitTicket::WaitFor(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(lock_);
  return done_cv_.wait_for(lock, timeout, [this] { return done_; });
}

int CommitTicket::result() const {
  std::lock_guard<std::mutex> lock(lock_);
  return result_;
}

void CommitTicket::Set(int result) {
  std::lock_guard<std::mutex> lock(lock_);
  result_ = result;
  done_ = true;
  done_cv_.notify_all();
}

Committer::Committer(Store& store, const ContentStore& content, ViewChanges& changes)
    : store_(store), content_(content), changes_(changes) {}

Committer::~Committer() { Stop(); }

void Committer::Start() {
  std::lock_guard<std::mutex> lock(lock_);
  if (running_ || stopping_) return;
  running_ = true;
  thread_ = std::thread([this] { Run(); });
}

void Committer::Stop() {
  {
    std::lock_guard<std::mutex> lock(lock_);
    stopping_ = true;
    work_cv_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
  // Whatever is still queued (never started, or submitted late) fails.
  std::deque<Pending> left;
  {
    std::lock_guard<std::mutex> lock(lock_);
    left.swap(queue_);
  }
  for (Pending& p : left) p.ticket->Set(-1);
}

uint64_t Committer::batches() const {
  std::lock_guard<std::mutex> lock(lock_);
  return batches_;
}

std::shared_ptr<CommitTicket> Committer::Submit(Change change) {
  auto ticket = std::make_shared<CommitTicket>();
  std::lock_guard<std::mutex> lock(lock_);
  if (stopping_ && !running_) {
    ticket->Set(-1);
    return ticket;
  }
  queue_.push_back(Pending{std::move(change), ticket});
  work_cv_.notify_one();
  return ticket;
}

void Committer::Run() {
  for (;;) {
    std::vector<Pending> batch;
    {
      std::unique_lock<std::mutex> lock(lock_);
      work_cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) {
        running_ = false;
        return;
      }
      while (!queue_.empty() && batch.size() < kMaxBatch) {
        batch.push_back(std::move(queue_.front()));
        queue_.pop_front();
      }
    }
    CommitBatch(batch);
    std::lock_guard<std::mutex> lock(lock_);
    ++batches_;
  }
}

namespace {

// What a batch did to a blob's file, to decide after the commit (or its
// failure) whether the file stays.
enum class Fate {
  kNew,           // installed, kept: the blob is new with this batch
  kNewDropped,    // installed but no committed row will name it
  kFreed,         // existed before the batch, dropped by it
  kFreedRevived,  // existed, dropped, then installed again by a later change
};

}  // namespace

void Committer::CommitBatch(std::vector<Pending>& batch) {
  std::vector<int> results(batch.size(), -1);
  std::vector<std::string> synced;
  std::unordered_map<std::string, Fate> fate;
  std::vector<uint64_t> changed_views;
  int rc = store_.Write([&](StoreTxn& txn) -> int {
    synced.clear();
    fate.clear();
    changed_views.clear();
    for (size_t i = 0; i < batch.size(); ++i) {
      if (txn.Savepoint() != 0) return -1;
      CommitEffects effects;
      int r = batch[i].change(txn, effects);
      size_t moved = 0;
      if (r == 0) {
        for (; moved < effects.installs.size(); ++moved) {
          if (content_.Install(effects.installs[moved].first, effects.installs[moved].second) != 0) break;
        }
        if (moved < effects.installs.size()) r = -1;
      }
      if (r == 0) {
        if (txn.ReleaseSavepoint() != 0) return -1;
        if (effects.changed_view != 0) changed_views.push_back(effects.changed_view);
        for (auto& [file, sha] : effects.installs) {
          auto it = fate.find(sha);
          fate[sha] = (it != fate.end() && it->second == Fate::kFreed) ? Fate::kFreedRevived : Fate::kNew;
          synced.push_back(sha);
        }
        for (const std::string& sha : effects.freed_blobs) {
          auto it = fate.find(sha);
          fate[sha] = (it != fate.end() && it->second == Fate::kNew) ? Fate::kNewDropped : Fate::kFreed;
        }
      } else {
        if (txn.RollbackToSavepoint() != 0) return -1;
        // Files this change moved in before it was undone name no row,
        // unless the blob existed before the batch (same bytes).
        for (size_t k = 0; k < moved; ++k) {
          const std::string& sha = effects.installs[k].second;
          if (fate.find(sha) == fate.end()) fate[sha] = Fate::kNewDropped;
        }
      }
      results[i] = r;
    }
    if (content_.Sync(synced) != 0) return -1;
    return 0;
  });
  const bool committed = rc >= 0;
  for (const auto& [sha, f] : fate) {
    bool drop = committed ? (f == Fate::kNewDropped || f == Fate::kFreed) : (f == Fate::kNew || f == Fate::kNewDropped);
    if (drop) content_.Remove(sha);
  }
  if (!committed) {
    SRV_LOG_ERR("a batch of %zu changes could not be committed", batch.size());
    for (Pending& p : batch) p.ticket->Set(-1);
    return;
  }
  // Before the replies: a client told its change is done finds every
  // waiting pull of the view already woken.
  changes_.Notify(changed_views);
  for (size_t i = 0; i < batch.size(); ++i) batch[i].ticket->Set(results[i]);
}

}  // namespace tidewell::server
