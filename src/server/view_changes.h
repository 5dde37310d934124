// ViewChanges: a count of committed changes per view, and a wait until a
// view's count moves. It lets a "pull_event" that found nothing new sleep
// until another connection commits a change in the same view, instead of
// the client asking again and again.
//
// The committer calls Notify once a batch that changed a view is committed
// (on disk and visible to every read snapshot begun afterwards). A waiter
// reads Count before it begins its snapshot, so a commit that lands between
// the two moves the count past the value it waits on and is never missed.
//
// Thread-safe: one mutex guards the counts; every Notify wakes every waiter
// (there is at most one waiting pull per connection), and each waiter looks
// at its own view's count.

#ifndef TIDEWELL_SERVER_VIEW_CHANGES_H_
#define TIDEWELL_SERVER_VIEW_CHANGES_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace tidewell::server {

class ViewChanges {
 public:
  enum class Wake {
    kChanged,  // the view's count moved
    kTimeout,  // the deadline passed first
    kGaveUp,   // the caller's give-up test said so
  };

  // Commits that changed the view so far (0 before the first).
  uint64_t Count(uint64_t view_id) const;

  // Moves the count of every view in `view_ids` on by one (a view listed
  // twice counts once) and wakes the waiters.
  void Notify(const std::vector<uint64_t>& view_ids);

  // Waits until the count of `view_id` differs from `seen` (then sets
  // `seen` to it and returns kChanged), until `deadline` passes (kTimeout),
  // or until `give_up` returns true (kGaveUp). `give_up` runs on the
  // calling thread at least every `poll`, without the lock held.
  Wake WaitForChange(uint64_t view_id, uint64_t& seen, std::chrono::steady_clock::time_point deadline,
                     const std::function<bool()>& give_up,
                     std::chrono::milliseconds poll = std::chrono::milliseconds(250));

 private:
  // Guarded by lock_.
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::unordered_map<uint64_t, uint64_t> counts_;
};

}  // namespace tidewell::server

#endif  // TIDEWELL_SERVER_VIEW_CHANGES_H_
