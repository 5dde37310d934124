// ProgressSyncer: the selective-sync resume puller.
//
// When the user loosens a selective-sync rule, the session control records
// a resume condition (session, the sync id from which the rule was in
// force, the rule's type and value) in the filter database and the progress
// cache, and the regular puller skips that session from then on. This task
// serves the conditions in turn, one per pass: once the session is not
// paused and its pending server events are drained, it pulls from the
// condition's sync id exactly the events that match the condition (the
// request's "condition"), queues them for the workers like the regular
// puller, waits until they are carried out, and stores the next sync id in
// the condition's filter-database row and the cache, so that a restart
// resumes where it stopped. When a pull finds nothing new the condition is
// complete and is removed.
//
// Thread-safety: as Syncer. conn_state is written under conn_state_lock.

#ifndef TIDEWELL_SYNC_PROGRESS_SYNCER_H_
#define TIDEWELL_SYNC_PROGRESS_SYNCER_H_

#include <atomic>
#include <cstdint>
#include <mutex>

#include "base/task.h"
#include "db/progress_cache.h"
#include "events/event.h"
#include "net/channel.h"
#include "net/pobject.h"
#include "platform/file_types.h"
#include "session/registry.h"
#include "sync/puller_core.h"
#include "sync/sync_env.h"

namespace tidewell {

class TaskManager;  // the controller's task table; not used by this task

class ProgressSyncer : public Task {
 public:
  enum ConnState { CONNECTED = 0, DISCONNECTED = 1, IDLE = 2 };

  // The daemon's resume puller, on the process-wide environment and
  // progress cache.
  explicit ProgressSyncer(TaskManager* owner);
  // A resume puller on `env` and `cache`, which must outlive it.
  explicit ProgressSyncer(SyncEnv& env, ProgressCache& cache = ProgressCache::getInstance());
  ~ProgressSyncer() override;

  int Pause() override;
  int Resume() override;
  int Stop() override;

  // Takes the next condition of the progress cache (after the one served
  // last, wrapping) and its session's entry. 0; -1 with an emptied context
  // when there is none or its session is not registered (logged).
  int UpdateContext();
  // False while the session is paused or has server events pending.
  bool IsSessionReady();
  // The pull request of the context's condition. 0.
  int PrepareRequest(PObject& request);
  // One pull for the condition and its processing. 0, the daemon code of a
  // failed exchange or of the reply's "error", or -1 when processing was
  // interrupted.
  int PullEvent();
  // Queues the reply's events, waits for the workers and stores the next
  // sync id; or, when nothing is new, removes the condition. 0 or -1.
  int ProcessEvents(const PObject& response);
  int WaitForWorkers();
  // The action for `err` (0, 1, 2 or negative); nothing is reported to the
  // user interface.
  int HandleError(int err);
  int RunProtocol(Channel& ch, unsigned char command, const PObject& request, PObject& response);
  int ProtoPullEvent(Channel& ch, const PObject& request, PObject& response);
  int GetFilesystemInfo(const Event& e, FILE_INFO& info);
  int ProtoResp2ErrorCode(uint64_t code);

  void SetConnectionState(ConnState state);
  ConnState GetConnectionState();

 protected:
  void DoTask() override;

 private:
  struct Context {
    uint64_t row_id = 0;
    ProgressCache::Entry progress_entry;
    Registry::Entry reg_entry;
  };

  // Set at construction.
  SyncEnv& env;
  ProgressCache& cache;
  std::atomic<int> abort_flag{0};
  PullerCore core;

  // The task thread's own.
  Context context;

  std::mutex conn_state_lock;
  ConnState conn_state = IDLE;  // guarded by conn_state_lock
};

}  // namespace tidewell

#endif  // TIDEWELL_SYNC_PROGRESS_SYNCER_H_
