// Records shared by the filter database, the selective-sync comparison, the
// progress cache and the selective-sync resume task. Plain data.

#ifndef TIDEWELL_DB_FILTER_TYPES_H_
#define TIDEWELL_DB_FILTER_TYPES_H_

#include <cstdint>
#include <set>

#include "base/ustring.h"

namespace tidewell {

// One selective-sync rule: its value (a path prefix, name, extension or
// decimal size) and the sync id from which it is in force. Ordered by value.
struct FilterInfo {
  uint64_t sync_id = 0;
  ustring filter_desc;

  bool operator<(const FilterInfo& other) const { return filter_desc < other.filter_desc; }
};

// The selective-sync rules of one session. An empty `black_size`
// description means no size rule.
struct SelectiveSyncInfo {
  std::set<FilterInfo> black_prefix;
  std::set<FilterInfo> black_name;
  std::set<FilterInfo> black_ext;
  FilterInfo black_size;
};

// A loosened rule whose formerly excluded items must now be fetched:
// `filter_type` is the rule's filter result code (FILTER_*_SELECTIVE_SYNC).
struct ResumeCondition {
  uint64_t sess_id = 0;
  uint64_t sync_id = 0;
  int filter_type = 0;
  ustring filter_desc;
};

// A local change that a filter kept from being uploaded; `filtered_type` is
// the filter result code that kept it back. Ordered by path.
struct FilterLocalEvent {
  ustring path;
  ustring file_checksum;
  ustring base_name;
  ustring win_hash;
  ustring mac_hash;
  ustring linux_hash;
  ustring velt_hash;
  uint64_t sess_id = 0;
  uint64_t sync_id = 0;
  uint64_t file_size = 0;
  int event_type = 0;
  uint32_t file_mod_time = 0;
  uint64_t inode = 0;
  int file_type = 0;
  int filtered_type = 0;
  int is_exist = 0;

  bool operator<(const FilterLocalEvent& other) const { return path < other.path; }
};

}  // namespace tidewell

#endif  // TIDEWELL_DB_FILTER_TYPES_H_
