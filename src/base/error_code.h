// Result codes shared by every subsystem.
//
// Operations return 0 (or a positive count or size) on success and one of the
// negative codes below on failure. Subsystems with codes of their own (the
// delta engine, the rule-file reader) keep them local; these are the daemon's.

#ifndef TIDEWELL_BASE_ERROR_CODE_H_
#define TIDEWELL_BASE_ERROR_CODE_H_

namespace tidewell {

enum ErrorCode : int {
  ERR_OK = 0,
  ERR_INT = -1,
  ERR_IO = -2,
  ERR_SYS = -3,
  ERR_INVAL = -4,
  ERR_PROTO = -5,
  ERR_AUTH = -6,
  ERR_SERVER = -7,
  ERR_CONFLICT = -8,
  ERR_TIMEOUT = -9,
  ERR_VERSION = -10,
  ERR_NOENT = -11,
  ERR_USER = -12,
  ERR_PASSWORD = -13,
  ERR_ORVIKDISABLE = -14,
  ERR_QUOTA = -15,
  ERR_DISKFULL = -16,
  ERR_SYNCFOLDER_MISS = -17,
  ERR_VIEW = -18,
  ERR_PERMISS = -19,
  ERR_VIEW_PATH = -20,
  ERR_CH_CONNECTION_ABORT = -21,
  ERR_LOCAL_DISKFULL = -22,
  ERR_LOCKED_FILE = -23,
  ERR_MAX = -24,  // end marker, not a result
};

// Returns the fixed English text of `code`. The sign is ignored; codes beyond
// the table give "Unknown error". The returned text is static.
const char* GetErrorString(int code);

}  // namespace tidewell

#endif  // TIDEWELL_BASE_ERROR_CODE_H_
