// Whether another program keeps us from reading, writing or deleting a file
// right now.

#ifndef TIDEWELL_PLATFORM_FILE_LOCK_H_
#define TIDEWELL_PLATFORM_FILE_LOCK_H_

#include <cstdint>

#include "base/ustring.h"

namespace tidewell {

// Access bits of isFileLocked's mask.
constexpr uint32_t kAccessRead = 0x80000000u;
constexpr uint32_t kAccessWrite = 0x40000000u;
constexpr uint32_t kAccessDelete = 0x00010000u;

// True when `path` exists but the access asked for by `access` (any mix of
// the bits above) would be refused:
//  - read: opening it for reading fails with EACCES, EPERM or ETXTBSY;
//  - write: write permission is refused (EACCES, EPERM for an immutable
//    file, ETXTBSY for a running program, EROFS);
//  - delete: the folder holding it refuses changes (permission, sticky bit,
//    read-only mount) or the file is immutable or append-only;
//  - another open file holds a conflicting lock on a regular file (a write
//    lock blocks read access; any lock blocks write and delete), as reported
//    by F_OFD_GETLK for both open-file and process locks.
// False for a missing path and for anything that cannot be examined. The
// file is never opened for writing, so probing leaves no change event.
// Safe from any thread.
bool isFileLocked(const ustring& path, uint32_t access);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_FILE_LOCK_H_
