// One change that the daemon has to carry out, in either direction.
//
// An Event is a plain value: copying copies every field. It is not
// synchronised; callers that share one must lock around it.

#ifndef TIDEWELL_EVENTS_EVENT_H_
#define TIDEWELL_EVENTS_EVENT_H_

#include <cstdint>

#include "base/ustring.h"

namespace tidewell {

class Event {
 public:
  enum Type : int {
    EV_EMPTY = 0,
    EV_CREATE = 1,
    EV_REMOVE = 2,
    EV_MODIFY = 3,
    EV_RENAME = 4,
  };

  // Mode bits, shared with the node attributes of the event tree.
  static constexpr uint32_t F_DIR = 0x1;
  static constexpr uint32_t F_SERVER = 0x2;
  static constexpr uint32_t F_EXPAND = 0x4;
  static constexpr uint32_t F_RESCAN = 0x8;
  static constexpr uint32_t F_MERGE = 0x10;
  static constexpr uint32_t F_EXCEP = 0x20;
  static constexpr uint32_t F_LOCAL_SUBDIR_RESCAN = 0x40;
  static constexpr uint32_t F_SERVER_SUBDIR_RESCAN = 0x80;
  static constexpr uint32_t F_LOCAL_SUBDIR_RESCAN_STAT = 0x100;
  static constexpr uint32_t F_SERVER_SUBDIR_RESCAN_STAT = 0x200;
  static constexpr uint32_t F_CONFLICT = 0x400;
  static constexpr uint32_t F_FORCE = 0x800;
  static constexpr uint32_t F_SUBDIR_RESCAN_ANY =
      F_LOCAL_SUBDIR_RESCAN | F_SERVER_SUBDIR_RESCAN |
      F_LOCAL_SUBDIR_RESCAN_STAT | F_SERVER_SUBDIR_RESCAN_STAT;

  // The sync identifier of a forced download: it loses every comparison in
  // the tree's merge, so any real server event for the path replaces it.
  static constexpr uint64_t kForcedSyncId = 0x7FFFFFFFFFFFFFFFULL;

  Event() = default;

  // Back to EV_EMPTY with every number 0 and every string empty.
  void Clear() { *this = Event(); }

  bool IsValid() const { return m_type != EV_EMPTY; }
  bool IsServerEvent() const { return (m_mode & F_SERVER) != 0; }
  bool IsLocalEvent() const { return (m_mode & F_SERVER) == 0; }
  bool IsDir() const { return (m_mode & F_DIR) != 0; }
  bool IsFile() const { return (m_mode & F_DIR) == 0; }
  bool IsExpand() const { return (m_mode & F_EXPAND) != 0; }
  bool IsSubDirRescan() const { return (m_mode & F_SUBDIR_RESCAN_ANY) != 0; }
  bool IsLocalSubDirRescan() const { return (m_mode & F_LOCAL_SUBDIR_RESCAN) != 0; }
  bool IsServerSubDirRescan() const { return (m_mode & F_SERVER_SUBDIR_RESCAN) != 0; }
  bool IsLocalSubDirRescanWithStat() const {
    return (m_mode & F_LOCAL_SUBDIR_RESCAN_STAT) != 0;
  }
  bool IsServerSubDirRescanWithStat() const {
    return (m_mode & F_SERVER_SUBDIR_RESCAN_STAT) != 0;
  }
  bool IsConflict() const { return (m_mode & F_CONFLICT) != 0; }

  void SetLocalSubDirRescan() { m_mode |= F_LOCAL_SUBDIR_RESCAN; }
  void SetServerSubDirRescan() { m_mode |= F_SERVER_SUBDIR_RESCAN; }
  void SetLocalSubDirRescanWithStat() { m_mode |= F_LOCAL_SUBDIR_RESCAN_STAT; }
  void SetServerSubDirRescanWithStat() { m_mode |= F_SERVER_SUBDIR_RESCAN_STAT; }
  void SetConflict() { m_mode |= F_CONFLICT; }

  // Text form for log lines:
  //   rename:  Event<EV_RENAME>: from '<path>', to '<opt>'
  //   others:  Event<NAME>: [<sync id>] <path> (server|local,dir|file[,expand])
  //            and, for a file, " size = <size>, hash = <hash>".
  ustring toString() const;

  // "EV_EMPTY", "EV_ADD", "EV_REMOVE", "EV_MODIFY", "EV_RENAME"; "EV_UNKNOWN"
  // for a value outside the enumeration.
  static const char* TypeName(Type type);

  Type m_type = EV_EMPTY;
  uint32_t m_mode = 0;
  uint64_t m_sync_id = 0;
  uint64_t m_max_id = 0;
  uint64_t m_data_size = 0;
  uint32_t m_time = 0;
  ustring m_data_hash;
  ustring m_path;  // session-relative, begins with "/"
  ustring m_opt;   // EV_RENAME: the new path; otherwise an option text
  ustring m_mac_attr_hash;
  uint64_t m_mac_attr_size = 0;
  uint64_t m_sess_id = 0;
  uint32_t m_exec_bit = 0;
};

}  // namespace tidewell

#endif  // TIDEWELL_EVENTS_EVENT_H_
