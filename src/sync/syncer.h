// Syncer: the server event puller, the one task that brings server changes
// into the daemon.
//
// It serves the registered sessions in turn, one per pass. For a session
// that is ready (not paused, no selective-sync resume running for it) it
// sends "pull_event" with the session's stored sync id, queues every
// returned server event (event generation drops echoes), waits until the
// workers have carried out all server events of the session, and only then
// stores the server's next sync id in the session's event database: a pull
// interrupted before that (stop, pause, session removed) is repeated from
// the old id. The server sends at most a page of events per reply; the
// next pass of the session continues from the stored id. When every
// session answered that nothing is new, it sleeps (5 s by default).
//
// Waiting pulls: when the server's connect reply offered them, exactly one
// session is registered and that session's previous pass found nothing
// new, the pull carries "wait_ms" and the server holds it until a change
// comes (or the time runs out); the sleep is then left out, since the
// server does the waiting. With several sessions the old sleep stays: a
// pull held for one session would hold back the others, which are served
// in turn by this one thread.
//
// Every failure ends in HandleError, which reports to the user interface by
// the puller's table and chooses the pause before the next pass; the loop
// never ends on an error.
//
// Thread-safety: DoTask runs on the task's own thread and owns the context
// and the up-to-date set. Pause, Resume and Stop may be called from any
// thread: they raise or lower the atomic abort flag, which a blocked
// channel read or write notices within a poll interval, and set the state.
// The steps below are public so that a test can drive a pass itself; they
// must then not run while the task's thread does.

#ifndef TIDEWELL_SYNC_SYNCER_H_
#define TIDEWELL_SYNC_SYNCER_H_

#include <atomic>
#include <cstdint>
#include <set>

#include "base/task.h"
#include "events/event.h"
#include "net/channel.h"
#include "net/pobject.h"
#include "platform/file_types.h"
#include "session/registry.h"
#include "sync/puller_core.h"
#include "sync/sync_env.h"

namespace tidewell {

class TaskManager;  // the controller's task table; not used by this task

class Syncer : public Task {
 public:
  // The daemon's puller, on the process-wide environment.
  explicit Syncer(TaskManager* owner);
  // A puller on `env`, which must outlive it.
  explicit Syncer(SyncEnv& env);
  ~Syncer() override;

  // Pause and Stop raise the abort flag, then set the state; Resume lowers
  // it, then resumes.
  int Pause() override;
  int Resume() override;
  int Stop() override;

  // Moves to the session after the current one (ascending id, wrapping).
  // 0; -1 with an emptied context when no session is registered.
  int UpdateContext();
  // False when the session is paused or a selective-sync resume holds it.
  bool IsSessionReady();
  // PullEventFromServer, then ProcessEvents on a reply without "error".
  // The daemon code of the pull, or ProcessEvents' result.
  int PullEvent();
  // One exchange for the context's session into `response`, with "wait_ms"
  // when MayWait and the connection's server offers it. 0; the daemon
  // code of a failed exchange or of the reply's "error" (ERR_SYS when the
  // stored sync id cannot be read; ERR_PROTO for a reply without
  // "next_sync_id").
  int PullEventFromServer(PObject& response);
  // Queues the reply's events when its "next_sync_id" differs from the
  // stored one, waits for the workers and stores it; otherwise marks the
  // session up to date (and sleeps when all are, unless the next pull is
  // held by the server instead). 0, or -1 when the wait was interrupted
  // (nothing stored).
  int ProcessEvents(const PObject& response);
  // See PullerCore::WaitForWorkers, for the context's session.
  int WaitForWorkers();
  // The action for `err` (0 go on, 1 retry wait, negative unexpected), with
  // the reports of the puller's table.
  int HandleError(int err);
  int RunProtocol(Channel& ch, unsigned char command, const PObject& request, PObject& response);
  // RunProtocol with command 6.
  int ProtoPullEvent(Channel& ch, const PObject& request, PObject& response);
  // Stats the event's local item (the session root for "/"). 0, or -1.
  int GetFilesystemInfo(const Event& e, FILE_INFO& info);
  int ProtoResp2ErrorCode(uint64_t code);

  // The session being served and the sync id its pull started from.
  uint64_t current_session() const { return context.entry.sess_id; }
  uint64_t current_sync_id() const { return context.sync_id; }

 protected:
  void DoTask() override;

 private:
  struct Context {
    Registry::Entry entry;
    uint64_t sync_id = 0;
  };

  // Adds the context's session to the up-to-date set; when every session
  // is in it, empties it and sleeps, unless the next pull will wait on the
  // server instead.
  void MarkUpToDate();
  // True when the next pull of the context's session asks the server to
  // hold it, should the server offer that (see the file comment).
  bool MayWait();

  // Set at construction.
  SyncEnv& env;
  std::atomic<int> abort_flag{0};
  PullerCore core;

  // The task thread's own.
  Context context;
  std::set<uint64_t> uptodate_set;
  // The session whose last pass found nothing new (0: none), and whether
  // the server of the last exchange holds pulls.
  uint64_t quiet_session = 0;
  bool server_waits = false;
  // The last pull was asked to be held and came back in less than half its
  // time; when it brought nothing the sleep is kept (see MarkUpToDate).
  bool answered_early = false;
  bool noted_early = false;  // said so in the log once
};

}  // namespace tidewell

#endif  // TIDEWELL_SYNC_SYNCER_H_
