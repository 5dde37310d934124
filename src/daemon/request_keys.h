// Reading the members of a control request.
//
// Values are read with PObject's lenient conversions (an absent key reads as
// 0, false or ""), as the actions expect. What the conversions would hide is
// caught here: an identifier sent as text would read as 0, which several
// actions take to mean "every session"; a path sent as a number would read
// as "". Such requests are refused instead. Pure functions; any thread.

#ifndef TIDEWELL_DAEMON_REQUEST_KEYS_H_
#define TIDEWELL_DAEMON_REQUEST_KEYS_H_

#include <initializer_list>

#include "net/pobject.h"

namespace tidewell {

// True when `request` holds `key`.
inline bool HasKey(const PObject& request, const char* key) { return request.hasMember(key); }

// True when every key that is present among `keys` holds an integer.
inline bool IntegersIfPresent(const PObject& request, std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    if (request.hasMember(key) && !request[key].isInteger()) return false;
  }
  return true;
}

// True when every key that is present among `keys` holds a string.
inline bool StringsIfPresent(const PObject& request, std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    if (request.hasMember(key) && !request[key].isString()) return false;
  }
  return true;
}

}  // namespace tidewell

#endif  // TIDEWELL_DAEMON_REQUEST_KEYS_H_
