// ChangeBackoff: spaces out the upload attempts of a file that keeps
// changing while it is read.
//
// An upload reads the whole file (digest, signature, delta) and then looks
// at it again; when its size or time moved meanwhile, what was read is not
// a version of the file and must not reach the server as final. The event
// is redone, and this table makes each further attempt on the same file
// wait twice as long as the one before (from `first` up to `cap`), so a
// file that a program writes for an hour costs a few reads a minute, not a
// read per worker pass. A file is never given up on: once it is read whole
// and unchanged its entry goes.
//
// Thread-safe: one mutex guards the table; the workers share one instance.
// The table keeps at most kMaxEntries files; beyond that the entries that
// have been due the longest are dropped (they then start again at `first`).

#ifndef TIDEWELL_SYNC_CHANGE_BACKOFF_H_
#define TIDEWELL_SYNC_CHANGE_BACKOFF_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "base/ustring.h"

namespace tidewell {

class ChangeBackoff {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kMaxEntries = 4096;

  explicit ChangeBackoff(std::chrono::milliseconds first = std::chrono::seconds(1),
                         std::chrono::milliseconds cap = std::chrono::seconds(60))
      : first_(first), cap_(cap) {}
  ChangeBackoff(const ChangeBackoff&) = delete;
  ChangeBackoff& operator=(const ChangeBackoff&) = delete;

  // Replaces the first and the longest wait (tests shorten them).
  void SetDelays(std::chrono::milliseconds first, std::chrono::milliseconds cap);

  // Records that the file `path` of session `sess_id` changed while it was
  // read. Returns the wait before the next attempt: `first` after the first
  // change, doubled for each further one, at most `cap`.
  std::chrono::milliseconds Changed(uint64_t sess_id, const ustring& path, Clock::time_point now = Clock::now());

  // True when an attempt may run now: the file has no entry, or its wait
  // has passed.
  bool Due(uint64_t sess_id, const ustring& path, Clock::time_point now = Clock::now()) const;

  // The file was read whole and unchanged (or is gone): forget it.
  void Settled(uint64_t sess_id, const ustring& path);

  // Changes recorded for the file since it last settled (0 without entry).
  int Changes(uint64_t sess_id, const ustring& path) const;

 private:
  struct Entry {
    int changes = 0;
    Clock::time_point due;
  };
  using Key = std::pair<uint64_t, std::string>;

  void PruneLocked();

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::chrono::milliseconds first_;
  std::chrono::milliseconds cap_;
  std::map<Key, Entry> table_;
};

}  // namespace tidewell

#endif  // TIDEWELL_SYNC_CHANGE_BACKOFF_H_
