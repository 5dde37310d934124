// Result codes shared by every subsystem.
//
// Operations return 0 (or a positive count or size) on success and one of the
// negative codes below on failure. Subsystems with codes of their own (the
// delta engine, the rule-file reader) keep them local; these are the daemon's.

#ifndef TIDEWELL_BASE_ERROR_CODE_H_
#define TIDEWELL_BASE_ERROR_CODE_H_

namespace tidewell {

enum ErrorCode : int {
  ERR_OK = 0,                   // success
  ERR_INT = -1,                 // interrupted: an abort flag was raised or a socket option
                                // failed; from the server, a failure worth redoing
  ERR_IO = -2,                  // the connection broke: socket or SSL error, peer closed,
                                // channel closed, no usable reply
  ERR_SYS = -3,                 // a local system call failed (poll, socket set-up, file
                                // access) or the operation is not supported
  ERR_INVAL = -4,               // bad arguments: a caller's mistake, not worth a retry
  ERR_PROTO = -5,               // the peer broke the protocol (a malformed or unexpected
                                // reply)
  ERR_AUTH = -6,                // the server refused the credentials or session token
  ERR_SERVER = -7,              // the server reported a failure of its own
  ERR_CONFLICT = -8,            // the item changed on both sides; not resolved here
  ERR_TIMEOUT = -9,             // no progress within the channel's time-out
  ERR_VERSION = -10,            // the server or its protocol version is incompatible
  ERR_NOENT = -11,              // the file or folder does not exist
  ERR_USER = -12,               // the user name is not known
  ERR_PASSWORD = -13,           // the password does not match the user name
  ERR_ORVIKDISABLE = -14,       // the server has synchronisation switched off for the user
  ERR_QUOTA = -15,              // the user's quota on the server is exhausted
  ERR_DISKFULL = -16,           // the server's disk is full
  ERR_SYNCFOLDER_MISS = -17,    // the session's local folder is missing
  ERR_VIEW = -18,               // the server view (the synchronised server folder) is
                                // missing or not the user's
  ERR_PERMISS = -19,            // the user may not do this in the view
  ERR_VIEW_PATH = -20,          // a path asked of the server is missing in the view
  ERR_CH_CONNECTION_ABORT = -21,  // a transfer was broken off because the task pauses
  ERR_LOCAL_DISKFULL = -22,     // the local disk or quota is full
  ERR_LOCKED_FILE = -23,        // the local file is locked or may not be accessed
  ERR_MAX = -24,                // end marker, not a result
};

// Returns the fixed English text of `code`. The sign is ignored; codes beyond
// the table give "Unknown error". The returned text is static.
const char* GetErrorString(int code);

}  // namespace tidewell

#endif  // TIDEWELL_BASE_ERROR_CODE_H_
