// The bounded queue from which the daemon's notices to the user interface
// go out, on a thread of its own.
//
// Notices are reported from places that must not wait: the event manager's
// push path (called under the change detector's lock), the workers and the
// controller. Post only files the notice and returns; the queue's thread
// makes the loopback connection, so a slow, stalled or absent user
// interface costs that thread time and nobody else.
//
// Floods are coalesced. File notices ("syncing_file", "recent_file",
// "locked_file") are keyed by session and kind. A notice of a key that has
// not been sent within the window (one second) goes out as soon as the
// queue's thread gets to it; notices of that key posted until then, or
// within the window after the last one sent, are merged into a single
// pending notice: the latest item, with an added key "count" giving how many
// notices it stands for (only added when that is more than one). So a key
// sees at most one notice per window. Other notices (errors) are sent one by
// one, in order.
//
// The queue holds at most `capacity` notices waiting or being sent (merged
// ones count once); beyond that Post drops the notice and says so. Stop sends what
// is pending within a short grace time and drops the rest.
//
// Thread-safe: Post may be called from any thread, also while other locks
// are held (it takes only the queue's own mutex and never blocks on I/O).
// Start and Stop belong to the owner.

#ifndef TIDEWELL_SESSION_NOTICE_QUEUE_H_
#define TIDEWELL_SESSION_NOTICE_QUEUE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "base/ustring.h"
#include "net/pobject.h"

namespace tidewell {

class NoticeQueue {
 public:
  // Delivers one notice: 0 sent, negative not. `open_failure` is the log
  // text for a connection that cannot be made; `abort` (never null) is
  // raised when the queue wants a delivery in progress to give up.
  using Sender = std::function<int(const PObject& msg, const char* open_failure, const std::atomic<int>* abort)>;

  struct Options {
    size_t capacity = 1024;
    std::chrono::milliseconds window{1000};
    // How long Stop keeps sending what is still pending.
    std::chrono::milliseconds stop_grace{2000};
  };

  struct Stats {
    uint64_t sent = 0;     // delivered
    uint64_t failed = 0;   // the sender refused
    uint64_t merged = 0;   // folded into a pending notice
    uint64_t dropped = 0;  // refused by Post (full or stopped) or left at Stop
  };

  NoticeQueue(Sender sender, Options options);
  explicit NoticeQueue(Sender sender) : NoticeQueue(std::move(sender), Options()) {}
  ~NoticeQueue();  // Stop()
  NoticeQueue(const NoticeQueue&) = delete;
  NoticeQueue& operator=(const NoticeQueue&) = delete;

  // Starts the sending thread. 0, or -1 when it runs already, has been
  // stopped, or cannot be created.
  [[nodiscard]] int Start();
  // Sends what is pending (for at most the grace time, then raises the
  // abort flag and drops the rest) and joins the thread. Idempotent.
  void Stop();

  // Files `msg` for sending. 0 when it was queued or merged; -1 when it was
  // dropped (queue full, or not running). `open_failure` must be a string
  // with static storage.
  int Post(PObject msg, const char* open_failure);

  Stats GetStats() const;

 private:
  // A coalescing key: session and kind of a file notice.
  using Key = std::pair<uint64_t, ustring>;

  struct Slot {
    PObject latest;
    const char* open_failure = nullptr;
    uint64_t count = 0;  // notices it stands for; 0 = nothing pending
    std::chrono::steady_clock::time_point due;
  };

  struct Plain {
    PObject msg;
    const char* open_failure;
  };

  void Run();
  // Moves what may be sent now into `out`; the time of the next due slot
  // (or max) into `next_due`. Expects mutex_ held.
  void TakeDueLocked(std::chrono::steady_clock::time_point now, bool everything, std::deque<Plain>& out,
                     std::chrono::steady_clock::time_point& next_due);
  // Counts and logs a notice refused for lack of room; -1.
  int DropLocked();
  size_t PendingLocked() const { return plain_.size() + pending_slots_ + in_flight_; }

  // Set at construction.
  const Sender sender_;
  const Options options_;

  std::atomic<int> abort_{0};
  std::thread thread_;

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::condition_variable wake_;
  bool running_ = false;
  bool stopping_ = false;
  bool thread_running_ = false;
  bool drop_logged_ = false;  // a run of drops is logged once
  std::deque<Plain> plain_;
  std::map<Key, Slot> slots_;
  size_t pending_slots_ = 0;
  size_t in_flight_ = 0;  // taken by the thread, not yet delivered
  // When the last notice of a key went out; entries older than the window
  // are dropped, so the map stays small.
  std::map<Key, std::chrono::steady_clock::time_point> last_sent_;
  Stats stats_;
};

}  // namespace tidewell

#endif  // TIDEWELL_SESSION_NOTICE_QUEUE_H_
