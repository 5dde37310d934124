// Renaming a local object aside, in its own folder, when it cannot keep its
// name: it conflicts with a server change, the server refuses its path, or
// its name has a leading or trailing blank or a trailing dot. The new name
// carries a suffix naming the client, the time and the reason, inserted
// before the extension:
//
//   report.txt  ->  report_PC1_Mar-07-1402-2025_Conflict.txt
//                   report_PC1_Mar-07-1402-2025_Conflict_1.txt  (if taken)
//
// The renamed object is then seen by the change detector as a new local
// object and uploaded under its new name. Renames go through SessionFs and
// never replace an existing name. Log lines go to "conflict_rename_debug".
//
// Thread-safe: no state; callers on different threads renaming into the
// same folder may both be refused a name and move to the next counter.

#ifndef TIDEWELL_SYNC_CONFLICT_RENAME_H_
#define TIDEWELL_SYNC_CONFLICT_RENAME_H_

#include <ctime>
#include <string>

#include "base/ustring.h"
#include "platform/session_fs.h"

namespace tidewell {

// `when` in local time as "%b-%d-%H%M-%Y" with English month names
// ("Mar-07-1402-2025").
ustring ConflictTimeStamp(time_t when);

// "_<client>_<time stamp of now>_<reason>".
std::string ConflictSuffix(const ustring& client_name, const ustring& reason);

// `path` with `insert` placed before the extension of its last component
// (the text from its last "." when that dot comes after the last "/" or
// "\\" and is not the last character), or appended when it has none.
ustring InsertBeforeExtension(const ustring& path, const ustring& insert);

// Renames the session-relative `path` to path + "_<client>_<time>_<reason>"
// (before the extension), or, when that name is taken, with "_1" to "_99"
// after the suffix. 0 on success (`renamed_to`, if given, gets the new
// path); otherwise the SessionFs result of the last attempt (-EEXIST when
// every name was taken).
[[nodiscard]] int ConflictRename(const SessionFs& fs, const ustring& path, const ustring& client_name,
                                 const ustring& reason, ustring* renamed_to = nullptr);

// For a name with leading or trailing blanks: renames the session-relative
// `path` to its folder + `base_name` without those blanks when that name is
// free; otherwise to that clean name with "_<client>_<time>_WhiteSpaceConflict"
// before the extension, then with "_0" to "_99" after it. Results as
// ConflictRename.
[[nodiscard]] int WhiteSpaceConflictRename(const SessionFs& fs, const ustring& path, const ustring& base_name,
                                           const ustring& client_name, ustring* renamed_to = nullptr);

}  // namespace tidewell

#endif  // TIDEWELL_SYNC_CONFLICT_RENAME_H_
