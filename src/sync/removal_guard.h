// RemovalGuard: keeps a lost session folder or a mass deletion from reaching
// the server as removals.
//
// Two situations make "everything is gone" look like the user's intent:
//
//  - The session folder is lost: it is missing, it is no longer the
//    directory the session was set up on (an unmounted disk leaves its empty
//    mount point; a folder moved away and another made under its name), or
//    it was emptied together with its working folder. The guard remembers
//    the folder's device and inode in the session's configuration folder
//    ("<config>/db/root-identity", written when it first sees the session)
//    and keeps a marker file in the working folder; CheckRoot compares.
//    While the folder is lost the session shows an error, no removal is
//    sent (removals are kept here), uploads wait and rescans do nothing.
//    When the folder comes back the kept removals are queued again, to be
//    judged afresh, and the session is rescanned.
//
//  - One pass would remove more than half of the session's synchronised
//    items and more than 100 of them: a rescan's removals, or the live
//    removals of the last 60 seconds, a folder counting every item recorded
//    below it. Those removals, and every later one, are held here and the
//    session shows "held" with the counts until the user confirms
//    (ConfirmRemovals, wired to the daemon's resume with confirm_removals).
//    Confirmed removals are queued again and let through once each.
//
// Removals already sent cannot be called back: the live check holds from
// the removal that crosses the line on, so at most half of the items (or
// 100) go before the hold.
//
// Thread-safety: every operation may be called from any thread. One mutex
// guards the per-session table; file-system checks run outside it, and
// nothing is called on the event queue or the notices while it is held.

#ifndef TIDEWELL_SYNC_REMOVAL_GUARD_H_
#define TIDEWELL_SYNC_REMOVAL_GUARD_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/ustring.h"
#include "events/event.h"
#include "session/registry.h"

namespace tidewell {

class EngineNotices;
class EventManager;
class SessionStateTable;

class RemovalGuard {
 public:
  enum Verdict {
    kSend = 0,      // go ahead
    kHeld = 1,      // kept until the user confirms; do not send
    kRootLost = 2,  // the session folder is lost; do not send
  };

  // A pass may remove up to this many items whatever the session's size.
  static constexpr uint64_t kMinimumItems = 100;
  // Name of the marker file in the working folder.
  static constexpr const char* kMarkerName = "session-root";
  // Name of the identity file in "<config>/db".
  static constexpr const char* kIdentityName = "root-identity";

  // The references must outlive the guard.
  RemovalGuard(Registry& registry, EventManager& events, SessionStateTable& state, EngineNotices& notices);
  RemovalGuard(const RemovalGuard&) = delete;
  RemovalGuard& operator=(const RemovalGuard&) = delete;

  // How far back the live removals count (default 60 s).
  void SetWindow(std::chrono::milliseconds window);

  // 0 when the session folder of `entry` is the one the session was set up
  // on (remembering it when the session is seen for the first time);
  // -1 when it is lost: the session is then put in error, a session error
  // notice goes out once, and the reason is logged with the path. A folder
  // that was lost and is back ends the error, re-queues the removals kept
  // meanwhile and asks for a rescan of the session.
  int CheckRoot(const Registry::Entry& entry);

  // Judges the local removal `e` that is about to be sent. `items` is how
  // many records it removes (1 for a file; for a folder the folder and
  // everything recorded below it), `session_items` the session's records
  // now. kSend counts it in the window; kHeld and kRootLost keep it here.
  Verdict AdmitRemoval(const Registry::Entry& entry, const Event& e, uint64_t items, uint64_t session_items);

  // After AdmitRemoval said kSend: the removal `path` reached the server
  // (Sent), or it did not and will be tried again (Withdraw: it no longer
  // counts in the window).
  void Sent(uint64_t sess_id, const ustring& path);
  void Withdraw(uint64_t sess_id, const ustring& path, uint64_t items);

  // Judges the removals a rescan found (one record each). kSend: the caller
  // queues them. kHeld: the guard keeps them. kRootLost: they are dropped
  // (the rescan that follows the folder's return finds them again).
  Verdict AdmitRescan(const Registry::Entry& entry, const std::vector<Event>& removals, uint64_t session_items);

  // The user confirms the session's held removals: they are queued again
  // and each is let through once. A lost session folder is accepted as the
  // session's folder from now on (and the session rescanned). Returns the
  // number of removals released, or -1 for a session that is not
  // registered.
  int ConfirmRemovals(uint64_t sess_id);

  // Removals held for the session (events, not items).
  size_t HeldRemovals(uint64_t sess_id) const;
  // Whether the guard currently takes the session folder for lost.
  bool RootLost(uint64_t sess_id) const;

  // Drops what the guard keeps for a session that is removed.
  void Forget(uint64_t sess_id);

 private:
  using Clock = std::chrono::steady_clock;

  struct Held {
    Event event;
    uint64_t items = 0;
    bool for_root = false;  // kept only because the folder was lost
  };

  struct Session {
    bool root_lost = false;
    bool holding = false;  // a mass hold is in force until confirmed
    std::vector<Held> held;
    std::set<std::string> held_paths;
    uint64_t held_items = 0;
    uint64_t seen_items = 0;    // the session's size when the hold began
    uint64_t window_before = 0;  // items sent in the window before the hold
    std::deque<std::pair<Clock::time_point, uint64_t>> window;
    uint64_t window_items = 0;
    std::map<std::string, Clock::time_point> released;
  };

  // What is known about the folder on disk.
  struct Identity {
    bool known = false;
    std::string path;
    uint64_t dev = 0;
    uint64_t ino = 0;
  };

  // 0 when usable, else -1 with `reason`. Adopts an unknown folder.
  int ExamineRoot(const Registry::Entry& entry, std::string& reason);
  // Records the folder's identity and marker; 0, or -1 when the folder is
  // not usable (`reason` says why). A failure to write is only logged.
  int Adopt(const Registry::Entry& entry, std::string& reason);
  void RootIsLost(const Registry::Entry& entry, const std::string& reason);
  void RootIsBack(const Registry::Entry& entry);

  bool HoldLocked(Session& s, const Event& e, uint64_t items, bool for_root);
  void PruneLocked(Session& s, Clock::time_point now);
  // The text of a mass hold for the session status.
  static ustring HeldText(const Registry::Entry& entry, const Session& s);

  // Set at construction.
  Registry& registry_;
  EventManager& events_;
  SessionStateTable& state_;
  EngineNotices& notices_;

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::chrono::milliseconds window_{std::chrono::seconds(60)};
  std::map<uint64_t, Session> sessions_;
  std::map<uint64_t, Identity> identities_;
};

}  // namespace tidewell

#endif  // TIDEWELL_SYNC_REMOVAL_GUARD_H_
