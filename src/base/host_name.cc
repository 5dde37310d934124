#include "base/host_name.h"

#include <unistd.h>

#include <cerrno>
#include <climits>

#include "base/log.h"

namespace tidewell {

int GetSysHostName(ustring& host) {
  char name[HOST_NAME_MAX + 1];
  if (gethostname(name, sizeof name) != 0) {
    int err = errno;
    TW_LOG_ERROR("utility_debug", "utility", "A system error has occurred: %d\n", err);
    return -1;
  }
  name[HOST_NAME_MAX] = '\0';  // a truncated name need not be terminated
  host = name;
  TW_LOG_DEBUG("utility_debug", "utility", "Host:   %s\n", host.c_str_utf8());
  return 0;
}

}  // namespace tidewell
