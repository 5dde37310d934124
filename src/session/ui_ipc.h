// Notices the daemon sends to the user interface on its own initiative:
// connection and session errors, locked files, files just synchronised and
// files about to be. Each notice is one value map sent over a fresh loopback
// connection to the port of the setting "ui_port"; nothing is read back and
// nothing is queued or repeated: a notice the user interface does not take
// is lost (and logged).
//
// The static notices keep no state and may be sent from any thread. An
// instance wraps one accepted connection (Open/Recv/Destroy) and belongs to
// one thread.
//
// The file notices take a FileItem rather than an event, so that this layer
// stays below the event queue; events/event_notice.h makes one from an
// event.

#ifndef TIDEWELL_SESSION_UI_IPC_H_
#define TIDEWELL_SESSION_UI_IPC_H_

#include <cstdint>

#include "base/ustring.h"
#include "net/channel.h"

namespace tidewell {

class PObject;

class UI_IPC {
 public:
  // The item a file notice is about.
  struct FileItem {
    uint64_t sess_id = 0;
    ustring path;  // relative to the session root, starting with "/"
    bool is_dir = false;
    int event_type = 0;  // 0 none, 1 created, 2 removed, 3 modified, 4 renamed
  };

  UI_IPC() = default;
  UI_IPC(const UI_IPC&) = delete;
  UI_IPC& operator=(const UI_IPC&) = delete;

  // {"notify": "error", "connection_id", "error_type"}. 0 sent, -1 not.
  static int ReportConnectionErrorToUI(int connection_id, int error);
  // {"notify": "error", "session_id", "error_type"}.
  static int ReportSessionErrorToUI(uint64_t sess_id, int error);
  // {"notify": "locked_file", "session_id", "path", "is_dir",
  //  "error": {"reason": "file locked", "code"}}.
  static int ReportFileLockedEventToUI(const FileItem& item, int error);
  // {"notify": "recent_file", "session_id", "path", "is_dir", "event_type"}.
  static int ReportFileEventToUI(const FileItem& item);
  // As ReportFileEventToUI with "notify" = "syncing_file".
  static int ReportFileSyncingEventToUI(const FileItem& item);
  // {"action": "connection_terminate"}.
  static int LastBreath();

  // Adopts an accepted connection; 0 or a negative code.
  [[nodiscard]] int Open(int socket);
  // Decodes one value from the connection; 0 or a negative code.
  [[nodiscard]] int Recv(PObject& obj);
  void Destroy();

 private:
  // Sends `msg` to the user interface; `open_failure` is the log text for a
  // connection that cannot be made.
  static int Send(const PObject& msg, const char* open_failure);

  Channel m_channel;
};

}  // namespace tidewell

#endif  // TIDEWELL_SESSION_UI_IPC_H_
