// The error codes the sync server puts in "error"."code" of a reply. Their
// meaning for the daemon, and when each is sent, is docs/server-protocol.md;
// the daemon maps a code by its class (bits 12-15).

#ifndef TIDEWELL_SERVER_SERVER_ERROR_H_
#define TIDEWELL_SERVER_SERVER_ERROR_H_

#include <cstdint>

namespace tidewell::server {

enum ServerCode : uint32_t {
  kOk = 0,
  kTokenUnknown = 0x1001,     // "session" missing or not a known token
  kNotConnected = 0x1002,     // no successful "connect" on this connection
  kTokenOtherUser = 0x1003,   // the token names another user than the connection's
  kViewInvalid = 0x3001,      // "view_id" missing or not a view of the user
  kPathMissing = 0x3003,      // pull: the path is missing, removed, a file or invalid
  kQuota = 0x4001,            // the user's quota would be exceeded
  kDiskFull = 0x4002,         // no room on the server's disk
  kUnsupported = 0x5001,      // unknown request, or a key missing or of the wrong type
  kNoSsl = 0x5002,            // "do_ssl" asked but the server has no certificate
  kTypeConflict = 0x6002,     // upload: a folder where a file is, or the reverse
  kDownloadGone = 0x8001,     // download: the object is missing or removed
  kUploadBaseGone = 0x9001,   // upload: base given but the object is removed or missing
  kUploadChanged = 0x9002,    // upload: changed on the server, or cannot be stored
  kRemoveGone = 0xA001,       // remove: missing or already removed
  kRemoveChanged = 0xA002,    // remove: changed since, or holds unseen objects
  kRedo = 0xB001,             // try again: the transfer, or the server failed
};

// One-line text for the reply's "message" and the log.
const char* ServerCodeText(uint32_t code);

// The code the "encrypt_channel" reply uses when the server cannot encrypt.
constexpr uint32_t kSslUnavailable = 2;

}  // namespace tidewell::server

#endif  // TIDEWELL_SERVER_SERVER_ERROR_H_
