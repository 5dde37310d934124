// Turning a changed black-list file into selective-sync bookkeeping: the
// rules stored in the filter database are compared with the rules of the
// file; loosened rules become resume conditions (in the database and the
// progress cache) and new path rules delete the excluded local folder.
// Also the text form of a size-resume range ("from=<n>,to=<n>").
//
// The functions use FilterDB::getInstance() and ProgressCache::getInstance()
// and are safe to call from any thread; the session control serialises
// reloads of one session.

#ifndef TIDEWELL_DB_SELECTIVE_SYNC_H_
#define TIDEWELL_DB_SELECTIVE_SYNC_H_

#include <cstdint>
#include <set>

#include "base/ustring.h"
#include "db/filter_types.h"
#include "filter/filter.h"

namespace tidewell {

class FileEventDB;

// The limit recorded when a size rule is removed: 10 GiB.
inline constexpr uint64_t kDefaultSizeFilterLimit = 10737418240ull;

// Fills `info` from the selective-sync keys of `filter`, each rule in force
// from `sync_id`; the size rule is the decimal text of
// max_size_selective_sync. Returns 0.
int ConvertFilterFileToSelectiveSyncInfo(uint64_t sess_id, uint64_t sync_id, const Filter& filter,
                                         SelectiveSyncInfo& info);

// Walks the stored (`db_set`) and the file's (`file_set`) rules of one type
// in order. A stored rule missing from the file becomes a resume condition
// and is deleted; a file rule missing from the database is stored (a
// path-prefix rule with sync id 0, and the local folder `sync_folder` + rule
// is moved to the trash). Once that folder is gone (moved, or not there),
// the records of it and of everything below it leave the session's event
// database `event_db` (when not null): they no longer describe anything
// local, and kept they would read as local deletions once the rule is
// loosened; the resume pull of a loosened path rule starts from sync id 0
// and brings back all the server holds. A new path-prefix rule that does
// not name a folder below `sync_folder` -- not beginning with "/", naming
// the root, with a "." or ".." component, or passing through a symbolic
// link -- is refused with an error line: neither stored nor acted on. 0, or
// -1 when a database step fails.
int CompareFilterList(uint64_t sess_id, int filter_type, const std::set<FilterInfo>& db_set,
                      const std::set<FilterInfo>& file_set, const ustring& sync_folder, FileEventDB* event_db);

// Compares the stored size rule with the file's: a new limit is stored, a
// stricter one updates the stored limit, a looser or removed one (0 reads as
// kDefaultSizeFilterLimit) also stores a resume condition for the sizes in
// between. 0, or -1 when a database step fails.
int CompareSizeFilter(uint64_t sess_id, const FilterInfo& db_info, const FilterInfo& file_info);

// "from=<from>,to=<to>" in decimal.
ustring EncodeResumeSizeFilterDesc(uint64_t from, uint64_t to);
// Reads a text made by EncodeResumeSizeFilterDesc. 0, or -1 for an empty or
// malformed text (the outputs are then unchanged).
int DecodeResumeSizeFilterDesc(const ustring& desc, uint64_t& from, uint64_t& to);

}  // namespace tidewell

#endif  // TIDEWELL_DB_SELECTIVE_SYNC_H_
