// Files that were created or changed but may still be being written, held
// back by the change detector until they settle.
//
// A held file is looked at again when it is due. Unchanged since the last
// look (same size, inode and nanosecond times) means it has settled: it
// leaves the queue and its change is handed on. Changed means someone is
// still writing: it stays, and the wait before the next look doubles, up to
// a ceiling, so a file that never stops changing costs one look a minute and
// is never given up on. A file whose writer closes it is released by the
// caller at once (Release) without waiting.
//
// Not thread-safe: the detector uses one queue per session under its lock.
// Times are passed in, so the policy can be tested without waiting.

#ifndef TIDEWELL_SYNC_SETTLE_QUEUE_H_
#define TIDEWELL_SYNC_SETTLE_QUEUE_H_

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "events/event.h"
#include "platform/file_stat.h"

namespace tidewell {

class SettleQueue {
 public:
  using Clock = std::chrono::steady_clock;
  using Millis = std::chrono::milliseconds;
  // Looks at a path: 0 and a stamp, or negative when it cannot.
  using StampFn = std::function<int(const std::string& path, FileStamp& stamp)>;

  struct Settled {
    std::string path;
    Event::Type type;
  };
  // A held file that changed since the last look, and the wait before the
  // next one.
  struct StillChanging {
    std::string path;
    Millis next_wait;
  };

  // `delay`: how long a file must stay unchanged; `ceiling`: the longest
  // wait between two looks at a file that keeps changing.
  explicit SettleQueue(Millis delay, Millis ceiling = std::chrono::seconds(60));

  void SetDelay(Millis delay) { delay_ = delay; }
  Millis delay() const { return delay_; }

  // Holds `path`, last seen as `stamp`, with the change `type`, first due
  // `delay` after `now`. A path held already keeps its schedule and stamp
  // and takes the newer change type.
  void Hold(const std::string& path, Event::Type type, const FileStamp& stamp, Clock::time_point now);

  // Stops holding `path`. True (and the held change type in `type`, if
  // given) when it was held.
  bool Release(const std::string& path, Event::Type* type = nullptr);

  // Looks at every path due at `now`: settled ones leave the queue and are
  // returned; changed ones are rescheduled with a doubled wait (listed in
  // `changing` if given); gone ones and ones that are no longer regular
  // files are dropped (their own notices say what happened); ones that
  // cannot be looked at are kept and looked at again later.
  std::vector<Settled> TakeSettled(Clock::time_point now, const StampFn& stamp,
                                   std::vector<StillChanging>* changing = nullptr);

  // When the next held path is due; Clock::time_point::max() when none.
  Clock::time_point NextDue() const;

  bool IsHeld(const std::string& path) const { return held_.count(path) != 0; }
  size_t size() const { return held_.size(); }
  void Clear() { held_.clear(); }

 private:
  struct Entry {
    Event::Type type;
    FileStamp stamp;
    Clock::time_point due;
    Millis wait;
  };

  Millis delay_;
  const Millis ceiling_;
  std::map<std::string, Entry> held_;
};

}  // namespace tidewell

#endif  // TIDEWELL_SYNC_SETTLE_QUEUE_H_
