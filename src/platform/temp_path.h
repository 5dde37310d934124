// Fresh, unused names for temporary files and for items moved aside.

#ifndef TIDEWELL_PLATFORM_TEMP_PATH_H_
#define TIDEWELL_PLATFORM_TEMP_PATH_H_

#include "base/ustring.h"

namespace tidewell {

// Creates a new empty file `prefix` + "/" + eight name characters (from the
// temporary-name generator) and stores its path in `path`. The file is
// created exclusively (an existing name is never reused or truncated; a
// clash draws another name). 0, or -1 with ERROR "FSMktemp failed.\n" when
// no name can be had, or -1 when the file cannot be created.
[[nodiscard]] int FSMktemp(const ustring& prefix, ustring& path);

// Stores in `path` a name of the same form that does not exist at the time
// of the call; nothing is created. 0, or -1.
[[nodiscard]] int FSCreateTempPath(const ustring& prefix, ustring& path);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_TEMP_PATH_H_
