// The per-session status the sync engine reports and the daemon's
// "get_status" reads: whether a session is working, paused by the user,
// stopped by an error, or holding back removals until the user confirms
// them, with the text of its last error and the number of held removals.
//
// A session without an entry is "ok" with no error. Entries live only in
// memory; the daemon clears a session's entry when it removes the session.
//
// Thread-safe: one mutex guards the table; every operation takes it for its
// whole run and calls nothing outside.

#ifndef TIDEWELL_SESSION_SESSION_STATE_H_
#define TIDEWELL_SESSION_SESSION_STATE_H_

#include <cstdint>
#include <map>
#include <mutex>

#include "base/ustring.h"

namespace tidewell {

class SessionStateTable {
 public:
  enum State { kOk = 0, kPaused = 1, kError = 2, kHeld = 3 };

  struct Status {
    State state = kOk;
    ustring last_error;          // empty when the session never failed
    uint64_t held_removals = 0;  // removals waiting for the user (kHeld)
  };

  // "ok", "paused", "error", "held".
  static const char* StateName(State state);

  // The process-wide table, created on first use.
  static SessionStateTable& getInstance();

  SessionStateTable() = default;
  SessionStateTable(const SessionStateTable&) = delete;
  SessionStateTable& operator=(const SessionStateTable&) = delete;

  // Puts the session in `state`, keeping its error text; the held count
  // goes to 0 unless `state` is kHeld.
  void SetState(uint64_t sess_id, State state);
  // kError with `text` as the last error.
  void SetError(uint64_t sess_id, const ustring& text);
  // kHeld with `count` held removals and `text` as the last error (the
  // notice that names the counts).
  void SetHeld(uint64_t sess_id, uint64_t count, const ustring& text);
  // A session in kError goes back to kOk (after work succeeded again); its
  // last error text stays for diagnosis. Other states are left alone.
  void SetOk(uint64_t sess_id);

  // The session's status: 1 when it has an entry, 0 when not (`out` then
  // holds the default "ok" status).
  int Get(uint64_t sess_id, Status& out) const;

  // Forgets one session / every session.
  void Clear(uint64_t sess_id);
  void Clear();

 private:
  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::map<uint64_t, Status> table_;
};

}  // namespace tidewell

#endif  // TIDEWELL_SESSION_SESSION_STATE_H_
