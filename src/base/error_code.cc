#include "base/error_code.h"

#include <cstdlib>

namespace tidewell {

namespace {

// Indexed by the absolute value of the code. The texts are what peers and
// logs have always shown, spelling included.
const char* const kErrorTexts[] = {
    "Successful",
    "Interrupted",
    "I/O error",
    "System error",
    "Invalid argument",
    "Protocal error",
    "Authentication failure",
    "Server error",
    "Event conflict",
    "Connection timeout",
    "Incompatible version",
    "No such entry",
    "Invalid username",
    "Password and username not matched",
    "Orvik disabled",
    "User quota not enough",
    "Disk is full",
    "Sync Folder is miss",
    "View missing/invalid",
    "no permission ",
    "pull event by path, but the path is missing",
    "connection about by setting flag",
    "Local Disk is full",
    "file locked or no permission",
};

constexpr int kErrorTextCount = sizeof(kErrorTexts) / sizeof(kErrorTexts[0]);

}  // namespace

const char* GetErrorString(int code) {
  // Negate in a wider type so INT_MIN cannot overflow.
  long long magnitude = code < 0 ? -static_cast<long long>(code) : code;
  if (magnitude >= kErrorTextCount) return "Unknown error";
  return kErrorTexts[magnitude];
}

}  // namespace tidewell
