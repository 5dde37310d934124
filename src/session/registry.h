// The process-wide table of the sync sessions the daemon serves.
//
// Each entry describes one session and carries the three per-session objects
// the tasks use: its exclusion list, its inclusion list and its event
// database. Entries are handed out by copy; a copy shares the three objects
// (reference-counted), so a task that copied an entry can keep using them
// safely even if the session is cleared meanwhile: the objects go away when
// the last copy does.
//
// Thread-safe: every operation holds the registry's mutex for its whole run.

#ifndef TIDEWELL_SESSION_REGISTRY_H_
#define TIDEWELL_SESSION_REGISTRY_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "base/ustring.h"

namespace tidewell {

class BlackList2;
class WhiteListCpp;
class FileEventDB;

class Registry {
 public:
  // One session. Plain value; copies share the three objects.
  struct Entry {
    uint64_t sess_id = 0;
    uint64_t view_id = 0;
    uint64_t node_id = 0;
    // Earliest time (seconds since the epoch) at which the recycle cleaner
    // has work in this session's recycle folder; 0 = none.
    uint32_t recycle_time = 0;
    bool recursive = false;
    ustring local_path;
    ustring remote_path;
    ustring config_path;
    bool isMSDOS = false;
    bool pause = false;
    std::shared_ptr<BlackList2> black_list;
    std::shared_ptr<WhiteListCpp> white_list;
    std::shared_ptr<FileEventDB> event_db;

    // Every number and flag 0/false, strings empty, objects released.
    void clear() { *this = Entry(); }
  };

  // The process-wide instance, created on first use.
  static Registry& getInstance();

  Registry() = default;
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // Inserts the entry, or replaces every field of the one with its sess_id.
  void Set(const Entry& entry);

  // Copies the session's entry into `out`: 1 when found, 0 otherwise (`out`
  // untouched).
  int Find(uint64_t sess_id, Entry& out);

  // Runs `change` on the session's entry while holding the lock, so that
  // changing some fields (the pause flag) cannot undo a concurrent change
  // of others (the recycle time), as a Find followed by a Set could.
  // `change` must not call the registry and must not change sess_id. 1
  // when the session was found, 0 otherwise.
  int Update(uint64_t sess_id, const std::function<void(Entry&)>& change);

  // Cyclic step through the sessions: the entry after `sess_id`, or the
  // first (lowest) one when `sess_id` is absent or the last. False only for
  // an empty table.
  bool FindNext(uint64_t sess_id, Entry& out);

  // Drops the entry; the registry's references to its objects go with it.
  void Remove(uint64_t sess_id);

  // Releases the session's event database, inclusion list and exclusion
  // list (in this order) and drops the entry. Nothing for an absent id.
  void Clear(uint64_t sess_id);
  // The same for every entry, in ascending order.
  void Clear();

  // Sets the session's recycle_time to `t` when it is 0 or later than `t`
  // (keeps the earliest pending time). Nothing for an absent session.
  void InitRecycleTime(const Entry& entry, uint32_t t);
  // Sets the session's recycle_time to `t`.
  void UpdateRecycleTime(const Entry& entry, uint32_t t);

  size_t Size();

  // For callers that need several steps to be atomic; must not call other
  // operations of the registry while holding it.
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  static void ReleaseObjects(Entry& e);

  std::mutex mutex_;
  // Guarded by mutex_.
  std::map<uint64_t, Entry> index_;
};

}  // namespace tidewell

#endif  // TIDEWELL_SESSION_REGISTRY_H_
