// Creating directories, alone or with their missing parents.

#ifndef TIDEWELL_PLATFORM_DIR_MAKE_H_
#define TIDEWELL_PLATFORM_DIR_MAKE_H_

#include <cstdint>

#include "base/ustring.h"

namespace tidewell {

// With `isCreateParent`: FSMKDirP(path). Otherwise creates the one directory
// `path` (mode 0777 less the umask); an existing directory is success.
// 0, or -1 with ERROR "FSMKDirP: error code %d\n" (errno).
[[nodiscard]] int FSMKDir(const ustring& path, bool isCreateParent);

// Creates `path` and every missing directory above it. The root is never
// examined; each further prefix is: an existing directory (a symbolic link
// to one counts) is kept; a missing one is created (DEBUG "FSMKDirP: %s\n",
// or "FSMKDirP fail: %s\n"); an existing non-directory fails at once with -1
// (errno EEXIST for the last component, ENOTDIR for an intermediate one),
// unless `blForceCreate`, which deletes it and creates the directory in its
// place. A trailing "/" is ignored. The result is that of the last
// component: 0, or -1. `endptr`, `uid`, `gid` and `mode` are accepted and
// ignored.
[[nodiscard]] int FSMKDirP(const ustring& path, const char* endptr = nullptr,
                           bool blForceCreate = false, uint32_t uid = 0, uint32_t gid = 0,
                           uint32_t mode = 0777);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_DIR_MAKE_H_
