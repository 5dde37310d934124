// The task that turns changes in the sessions' local folders into local
// events.
//
// Each session's folder tree is watched (InotifyTree). Every notice becomes
// an Event pushed into the event manager: a creation, a modification of a
// file (folders' own modifications are dropped), a removal, and for a rename
// inside the tree a removal of the old path followed by a creation of the
// new one. A move out of the tree is a removal, a move in a creation. A new
// folder is followed by an expand request, since what it holds may have
// arrived before its watch. The kind of a removed item, and whether it was
// ever synchronised at all, come from the session's event database; a
// removal of something the database does not know is dropped.
//
// A file still being written is not handed on: a created file, or one whose
// attributes changed, is held (SettleQueue) until its writer closes it or it
// has stayed unchanged for the settle delay (setting "settle_delay_ms",
// default 1 s); one that keeps changing is looked at again with a growing
// wait, never given up on. A file closed after writing, or moved into
// place, is handed on at once. Symbolic links, FIFOs, sockets and device
// nodes are never handed on; each is named once in an INFO line.
//
// The session's working folder (".VeltronaWorkingDirectory", with the
// recycle folder "#VeltRecycle" inside) is never reported; when either is
// deleted it is created again. Lost notifications (queue overflow) become a
// rescan of the session. A session folder that goes away (moved, or its
// disk unmounted) is no longer watched; once a folder with the working
// folder inside is back under its name it is watched again and rescanned.
// One that comes back without its working folder is not the session's
// folder as it was (an empty mount point), and stays unwatched: the removal
// guard judges it. When the system's limit on watches is reached, the
// session is rescanned periodically instead, until all folders are watched.
//
// Thread-safe: AddWatch, RemoveWatch and Clear may be called from any thread
// while the task runs; one mutex guards the watches, and the task holds it
// while it translates and pushes (detector lock, then the event manager's).

#ifndef TIDEWELL_SYNC_DETECTOR_H_
#define TIDEWELL_SYNC_DETECTOR_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/task.h"
#include "base/ustring.h"
#include "events/event.h"
#include "platform/fd_wait.h"
#include "platform/file_types.h"
#include "platform/inotify_tree.h"
#include "sync/settle_queue.h"

namespace tidewell {

class EventManager;
class Registry;

class Detector : public Task {
 public:
  static constexpr const char* kWorkingDirectory = ".VeltronaWorkingDirectory";
  static constexpr const char* kRecycleBin = "#VeltRecycle";

  // Pushes into `manager`, looks sessions up in `registry`; both must
  // outlive the detector. `max_watches` caps the watches of each session as
  // the system's limit would (0: only the system's limit).
  explicit Detector(EventManager& manager, Registry& registry, size_t max_watches = 0);
  Detector();  // the process-wide manager and registry
  ~Detector() override;

  int Pause() override;
  int Resume() override;
  int Stop() override;

  // Starts watching the folder `path` for session `sess_id` (replacing a
  // previous watch of that session); creates the working folder in it.
  // 0, or -1 when the folder cannot be watched.
  int AddWatch(const ustring& path, uint64_t sess_id);
  // Stops watching the session's folder.
  void RemoveWatch(uint64_t sess_id);
  // Stops watching every folder.
  void Clear();

  // Seconds between rescans of a session whose folders could not all be
  // watched (default 60).
  void SetDegradedRescanInterval(int seconds);

  // How long a file its writer still holds must stay unchanged before it
  // is handed on (default: the setting "settle_delay_ms").
  void SetSettleDelay(std::chrono::milliseconds delay);

  // True for the root-relative path of the recycle folder.
  static bool IsRecycleBin(const ustring& path);
  // True when the root-relative `name` (with or without its leading "/")
  // is the working folder or lies inside it. Exact bytes: on this system a
  // differently cased name is another folder, and a backslash is an
  // ordinary character.
  static bool IsFromWorkingDirectory(const ustring& name);
  // Creates the working folder and the recycle folder under `root`
  // (existing ones are fine). 0 or -1.
  static int CreateWorkingDirectory(const ustring& root);

 protected:
  void DoTask() override;

 private:
  struct Session {
    uint64_t sess_id = 0;
    ustring root;
    std::unique_ptr<InotifyTree> tree;
    // First half of a move, until the next notice shows whether it was a
    // rename inside the tree.
    bool has_pending_move = false;
    InotifyTree::Notice pending_move;
    bool degraded = false;
    std::chrono::steady_clock::time_point next_rescan;
    // While the folder is gone (the tree closed): when to look for it again.
    std::chrono::steady_clock::time_point next_root_check;
    // Files that may still be written, by relative path.
    SettleQueue settle{std::chrono::milliseconds(1000)};
    // Special files already named in the log, by relative path.
    std::set<std::string> skipped;
  };

  // All Locked helpers expect lock_ held.
  void ServeLocked(Session& s);
  void HandleLocked(Session& s, const InotifyTree::Notice& n);
  void FlushMoveLocked(Session& s);
  void CheckLimitLocked(Session& s);
  void RescanDegradedLocked(Session& s);
  // Watches a folder that went away again once it is back whole.
  void ReopenLocked(Session& s);
  // Completes `e` (kind, session) for the notice; false when there is
  // nothing to push.
  bool TranslateLocked(Session& s, Event& e, bool item_gone);
  // Holds the file of `e` until it settles; false when it cannot be
  // looked at (then it is handed on at once).
  bool HoldLocked(Session& s, const Event& e);
  // Hands on the session's held files that have settled.
  void SettleLocked(Session& s);
  // Logs a special file once; `type` is what lstat found.
  void SkipLocked(Session& s, const std::string& path, FILE_TYPE type);
  // Forgets what is held or logged for `path` and everything below it.
  void ForgetLocked(Session& s, const std::string& path);
  // Milliseconds until the next held file of any session is due, at most
  // `cap`.
  int NextSettleWaitLocked(int cap) const;
  bool KindFromDatabaseLocked(Session& s, Event& e);
  void PushEventLocked(Event& e);

  // Set at construction.
  EventManager& manager_;
  Registry& registry_;
  const size_t max_watches_;
  WakeupFd wakeup_;

  std::mutex lock_;
  // Guarded by lock_.
  std::map<uint64_t, std::unique_ptr<Session>> index_;
  std::chrono::seconds degraded_interval_{60};
  std::chrono::milliseconds settle_delay_;
};

}  // namespace tidewell

#endif  // TIDEWELL_SYNC_DETECTOR_H_
