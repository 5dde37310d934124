// What the two pullers share -- the server event puller (Syncer) and the
// selective-sync resume puller (ProgressSyncer): one "pull_event" exchange
// on a pooled connection, the wait until the workers have carried out the
// batch a pull queued, and the pause between passes.
//
// Log lines go to the puller's own component and module ("syncer_debug" /
// "syncer", "progress_syncer_debug" / "progress-syncer"), with "Syncer: " or
// "ProgressSyncer: " in front of the texts that name the task.
//
// Thread-safety: a core belongs to its task's thread; the abort flag it
// watches is raised from other threads.

#ifndef TIDEWELL_SYNC_PULLER_CORE_H_
#define TIDEWELL_SYNC_PULLER_CORE_H_

#include <atomic>
#include <cstdint>

#include "base/task.h"
#include "base/ustring.h"
#include "net/channel.h"
#include "net/connection_handshake.h"
#include "net/pobject.h"
#include "sync/sync_env.h"

namespace tidewell {

class PullerCore {
 public:
  enum Kind { kEventPuller, kResumePuller };

  // `task` is the puller whose state the waits watch; `abort_flag` the flag
  // its Pause and Stop raise. All must outlive the core.
  PullerCore(Kind kind, SyncEnv& env, Task& task, std::atomic<int>& abort_flag);
  PullerCore(const PullerCore&) = delete;
  PullerCore& operator=(const PullerCore&) = delete;

  // A pull that may ask the server to hold it until a change comes.
  struct PullWait {
    uint32_t wait_ms = 0;       // in: the hold to ask for; 0 never asks
    bool server_waits = false;  // out: the connection's server offers it
  };

  // Takes a connection from the pool, establishes it for `view_id`, sends
  // `request` with command 6 and reads the reply into `response`, then
  // gives the connection back: dropped after a failed handshake or
  // exchange, otherwise kept or closed as the reply's "alive" says. 0, the
  // handshake's code, RunProtocol's code, or ERR_IO (no pool linked). The
  // reply's "error" member is the caller's to look at. With `wait`, the
  // request carries "wait_ms" only when the connection's server said it
  // holds pulls; `wait`'s outputs are set once the handshake succeeded.
  int Exchange(uint64_t view_id, const PObject& request, PObject& response, PullWait* wait = nullptr);

  // The pullers' request routine: header, request, then objects until one
  // that is not a keep-alive, waiting up to 90 seconds for it; the channel
  // time-out is 60 seconds afterwards. The channel watches the abort flag.
  // 0; ERR_CH_CONNECTION_ABORT when the raised flag broke it off; ERR_IO
  // after logging the failed step.
  int RunProtocol(Channel& ch, uint8_t command, const PObject& request, PObject& response);

  // Polls until the session has no pending server event left. 0 when none
  // is pending and the session still exists; -1 (logged) when the task is
  // stopped, or the session is removed or paused, while events wait.
  int WaitForWorkers(uint64_t sess_id);

  // Sleeps after a pass as `action` says: 0 none, 1 the retry wait, 2 the
  // long retry wait, above 2 the retry wait, negative the retry wait after
  // a CRIT line. Cut short by a pause or stop.
  void WaitForAction(int action);

  // The server error code of a reply as a daemon code (the pullers' table:
  // unhandled classes give 0, class 11 "try again" gives ERR_INT).
  int ProtoResp2ErrorCode(uint64_t code) const;

  SyncEnv& env() { return env_; }
  const char* module() const { return module_; }
  const ustring& component() const { return component_; }
  // "Syncer" or "ProgressSyncer".
  const char* name() const { return name_; }

 private:
  // Set at construction.
  const Kind kind_;
  SyncEnv& env_;
  Task& task_;
  std::atomic<int>& abort_flag_;
  const char* const module_;
  const char* const name_;
  const ustring& component_;
};

}  // namespace tidewell

#endif  // TIDEWELL_SYNC_PULLER_CORE_H_
