// Whether a local folder may become the root of a sync session.

#ifndef TIDEWELL_FILTER_SYNC_FOLDER_H_
#define TIDEWELL_FILTER_SYNC_FOLDER_H_

#include "base/ustring.h"

namespace tidewell {

// True for the root of a mounted file system and for an existing directory
// that is itself neither a symbolic link nor a device. Every refusal is
// logged. Safe from any thread.
bool IsValidSyncFolder(const ustring& folder);

}  // namespace tidewell

#endif  // TIDEWELL_FILTER_SYNC_FOLDER_H_
