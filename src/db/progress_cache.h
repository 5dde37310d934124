// ProgressCache: the in-memory list of selective-sync resume jobs in
// progress, shared by the session control, the filter comparison and the
// selective-sync resume task. Each entry pairs a resume condition with its
// row identifier in the filter database.
//
// Thread-safe: every operation takes m_mutex; entries are copied in and out.

#ifndef TIDEWELL_DB_PROGRESS_CACHE_H_
#define TIDEWELL_DB_PROGRESS_CACHE_H_

#include <cstdint>
#include <list>
#include <mutex>

#include "db/filter_types.h"

namespace tidewell {

class ProgressCache {
 public:
  struct Entry {
    uint64_t row_id = 0;
    ResumeCondition condition;
  };

  // The process-wide cache, created empty on first use.
  static ProgressCache& getInstance();

  ProgressCache();
  ~ProgressCache();
  ProgressCache(const ProgressCache&) = delete;
  ProgressCache& operator=(const ProgressCache&) = delete;

  // Appends an entry (duplicates are not checked).
  void addProgressEntry(uint64_t row_id, const ResumeCondition& condition);
  // Copies the first entry into `entry`; false when the cache is empty.
  bool getProgressEntry(Entry& entry);
  // Copies the entry after the one with `row_id` (the first one when that
  // is the last or absent), so that a caller serving entries in turn is not
  // stuck on one it cannot serve; false when the cache is empty.
  bool getProgressEntryAfter(uint64_t row_id, Entry& entry);
  // Sets the sync id of the first entry with `row_id`; nothing when absent.
  void updateProgressSyncId(uint64_t row_id, uint64_t sync_id);
  // Removes the entry with `row_id`, keeping the order of the rest.
  void rmProgressEntry(uint64_t row_id);
  // True when some entry belongs to session `sess_id`.
  bool isInProgrssCache(uint64_t sess_id);

 private:
  std::mutex m_mutex;
  std::list<Entry> cache_list;  // guarded by m_mutex
};

}  // namespace tidewell

#endif  // TIDEWELL_DB_PROGRESS_CACHE_H_
