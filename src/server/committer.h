// Group commits. Requests hand their changes to the committer as closures;
// one thread applies everything queued in one write transaction, each
// change under its own savepoint (a refused change is undone alone), moves
// the new blobs into place, flushes them together, and commits once. Many
// small uploads thus share one flush of their files and one of the
// database.
//
// Order inside a batch: apply change 1 (and install its new blobs), apply
// change 2, ...; flush the blobs; commit; delete the blob files the batch
// dropped; report every result. Nothing a change wrote is visible before
// its blobs are on disk. After the commit the views the batch changed are
// announced to ViewChanges, which wakes the pulls waiting on them.
//
// Thread-safety: Submit and Stop may be called from any thread.

#ifndef TIDEWELL_SERVER_COMMITTER_H_
#define TIDEWELL_SERVER_COMMITTER_H_

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "server/content_store.h"
#include "server/store.h"
#include "server/view_changes.h"

namespace tidewell::server {

// What a change leaves for the committer to do around the commit.
struct CommitEffects {
  // Files to move into the blob store as (file, sha256) before the commit:
  // the blobs the change added (AddContent's blob_added).
  std::vector<std::pair<std::string, std::string>> installs;
  // Blobs the change dropped (AddVersion's freed_blobs), deleted after it.
  std::vector<std::string> freed_blobs;
  // The view whose objects the change wrote (it took a sync id there); 0
  // when it wrote none. Announced once the batch is committed.
  uint64_t changed_view = 0;
};

// The result of one submitted change, ready once its batch is done.
class CommitTicket {
 public:
  // Waits up to `timeout`; true when the result is there.
  bool WaitFor(std::chrono::milliseconds timeout);
  // The change's own result (0, or the positive server code with which it
  // refused), or -1 when it failed or its batch could not be committed;
  // only after WaitFor returned true.
  int result() const;

 private:
  friend class Committer;
  void Set(int result);

  mutable std::mutex lock_;
  std::condition_variable done_cv_;
  bool done_ = false;
  int result_ = -1;
};

class Committer {
 public:
  // Runs inside the batch's transaction. Returns 0 to keep what it wrote, a
  // positive server code to refuse (its writes are undone), -1 on failure
  // (undone as well).
  using Change = std::function<int(StoreTxn& txn, CommitEffects& effects)>;

  // Batches hold at most this many changes.
  static constexpr size_t kMaxBatch = 512;

  // `changes` hears of every view a committed batch changed; all three
  // must outlive the committer.
  Committer(Store& store, const ContentStore& content, ViewChanges& changes);
  // Stops and joins.
  ~Committer();
  Committer(const Committer&) = delete;
  Committer& operator=(const Committer&) = delete;

  void Start();
  // Commits what is queued, then ends the thread. Later submissions fail.
  void Stop();

  // Queues a change. Never null.
  std::shared_ptr<CommitTicket> Submit(Change change);

  // Batches committed so far (for tests and the benchmark).
  uint64_t batches() const;

 private:
  struct Pending {
    Change change;
    std::shared_ptr<CommitTicket> ticket;
  };

  void Run();
  void CommitBatch(std::vector<Pending>& batch);

  // Set at construction.
  Store& store_;
  const ContentStore& content_;
  ViewChanges& changes_;

  // Guarded by lock_.
  mutable std::mutex lock_;
  std::condition_variable work_cv_;
  std::deque<Pending> queue_;
  bool stopping_ = false;
  bool running_ = false;
  uint64_t batches_ = 0;

  std::thread thread_;
};

}  // namespace tidewell::server

#endif  // TIDEWELL_SERVER_COMMITTER_H_
