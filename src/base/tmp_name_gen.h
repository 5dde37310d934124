// The process-wide generator of random temporary file names.
//
// Names are eight characters from "0-9a-zA-Z-_" (48 bits) drawn from an RC4
// state keyed, at first use, with the decimal text of the monotonic raw
// clock in nanoseconds. The generator does not look at the disk; callers
// that create files must do so exclusively (FSMktemp does).
//
// Thread-safe: one mutex guards the state, so no two names share a draw.

#ifndef TIDEWELL_BASE_TMP_NAME_GEN_H_
#define TIDEWELL_BASE_TMP_NAME_GEN_H_

#include <mutex>
#include <string_view>

#include "base/ustring.h"

namespace tidewell {

class TmpNameGen {
 public:
  // The process-wide generator, built on first use (safe under concurrent
  // first calls).
  static TmpNameGen& getInstance();

  // A generator keyed with `key` (at most 256 bytes are used; the rest of the
  // key is zero). For tests; the daemon uses getInstance().
  explicit TmpNameGen(std::string_view key);

  TmpNameGen(const TmpNameGen&) = delete;
  TmpNameGen& operator=(const TmpNameGen&) = delete;

  // `dir` + "/" + eight fresh name characters.
  ustring getTmpName(const ustring& dir);

 private:
  void ScheduleKeyLocked();

  std::mutex mutex_;
  // Guarded by mutex_.
  unsigned char m_s_box[256];
  unsigned char m_key[256];
  unsigned char m_buffer[6];
};

}  // namespace tidewell

#endif  // TIDEWELL_BASE_TMP_NAME_GEN_H_
