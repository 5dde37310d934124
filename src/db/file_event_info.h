// ClientFileEventInfo: the in-memory form of one row of the file event
// database, i.e. what the daemon believes is in step between the local
// folder and the server for one file or directory. Plain data.

#ifndef TIDEWELL_DB_FILE_EVENT_INFO_H_
#define TIDEWELL_DB_FILE_EVENT_INFO_H_

#include <cstdint>

#include "base/ustring.h"

namespace tidewell {

struct ClientFileEventInfo {
  int fileType = 0;        // 0 regular file, 1 directory
  int isExist = 0;         // 1 while the item exists
  uint32_t fileModTime = 0;  // seconds since 1970
  uint32_t execBit = 0;    // executable flag as the server reports it
  uint64_t syncID = 0;     // sync id of the last synchronised change
  uint64_t maxSyncID = 0;  // highest sync id at or below this item
  uint64_t pDirID = 0;     // stored only; 0 for rows made here
  uint64_t fileSize = 0;
  ustring fileCheckSum;    // content checksum, hex text
  ustring baseName;
  ustring path;            // session-relative, with a leading "/"
  ustring filePrivilege;
  ustring updateClient;
  ustring signaturePath;   // signature file of a file row; empty for directories
  ustring macHash;
  ustring windowsHash;
  ustring linuxHash;
  ustring veltHash;

  // Zeroes the numbers and empties the strings.
  void Clear() { *this = ClientFileEventInfo(); }
};

}  // namespace tidewell

#endif  // TIDEWELL_DB_FILE_EVENT_INFO_H_
