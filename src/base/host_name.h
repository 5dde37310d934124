// The name of this computer.

#ifndef TIDEWELL_BASE_HOST_NAME_H_
#define TIDEWELL_BASE_HOST_NAME_H_

#include "base/ustring.h"

namespace tidewell {

// Stores the host name (gethostname) in `host` and logs it (DEBUG
// "Host:   %s"). 0; or -1 with ERROR "A system error has occurred: %d"
// (errno), `host` unchanged. Thread-safe.
[[nodiscard]] int GetSysHostName(ustring& host);

}  // namespace tidewell

#endif  // TIDEWELL_BASE_HOST_NAME_H_
