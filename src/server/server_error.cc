#include "server/server_error.h"

namespace tidewell::server {

const char* ServerCodeText(uint32_t code) {
  switch (code) {
    case kOk: return "ok";
    case kTokenUnknown: return "unknown session token";
    case kNotConnected: return "connect first";
    case kTokenOtherUser: return "session token of another user";
    case kViewInvalid: return "not a view of this user";
    case kPathMissing: return "no such folder";
    case kQuota: return "quota exceeded";
    case kDiskFull: return "no room on the server";
    case kUnsupported: return "unsupported or malformed request";
    case kNoSsl: return "the server has no certificate";
    case kTypeConflict: return "a folder and a file at the same path";
    case kDownloadGone: return "no such object";
    case kUploadBaseGone: return "removed on the server";
    case kUploadChanged: return "changed on the server or cannot be stored";
    case kRemoveGone: return "no such object";
    case kRemoveChanged: return "changed on the server";
    case kRedo: return "try again";
    default: return "error";
  }
}

}  // namespace tidewell::server
