// RecycleCleaner: the task that empties the sessions' recycle folders.
//
// Items a server removal takes away locally wait in the session's recycle
// folder (".VeltronaWorkingDirectory/#VeltRecycle"), each with a row in the
// event database's recycle table, so that a download may take their content
// back. The cleaner serves the sessions in turn, one per pass (a second
// apart); once a session's recycle folder has held something for the
// rotation age (1800 s), it deletes the top-level items whose rows are at
// least that old, drops those rows and records the time of the oldest
// remaining row as the session's recycle time.
//
// Deletion goes through the session's SessionFs: it never follows a
// symbolic link and never leaves the recycle folder, whatever a row names.
//
// Thread-safety: DoTask runs on the task's own thread; Pause, Resume, Stop,
// SetRotationAge and SetClock may be called from any thread. The steps are
// public for tests, which must not run them while the thread does.

#ifndef TIDEWELL_SYNC_RECYCLE_CLEANER_H_
#define TIDEWELL_SYNC_RECYCLE_CLEANER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "base/task.h"
#include "base/ustring.h"
#include "session/registry.h"
#include "sync/sync_env.h"

namespace tidewell {

class TaskManager;  // the controller's task table; not used by this task

class RecycleCleaner : public Task {
 public:
  // Seconds since the epoch.
  using Clock = std::function<uint32_t()>;

  static constexpr uint32_t kRotationAge = 1800;

  // The daemon's cleaner, on the process-wide environment.
  explicit RecycleCleaner(TaskManager* owner);
  // A cleaner on `env`, which must outlive it.
  explicit RecycleCleaner(SyncEnv& env);
  ~RecycleCleaner() override;

  int Pause() override;
  int Resume() override;
  int Stop() override;

  // How long an item stays in the recycle folder (default kRotationAge).
  void SetRotationAge(uint32_t seconds) { age_.store(seconds); }
  // Where the current time comes from (default: the system clock).
  void SetClock(Clock clock);

  // Moves to the session after the current one. 0; -1 with an emptied
  // context when no session is registered.
  int UpdateContext();
  // Rotates the context's session if it is due. 0 (also when nothing was
  // due); -1 when the event database failed (logged). An item that cannot
  // be deleted is logged and its row dropped with the others.
  int Rotate();
  // The context session's recycle folder (full path).
  ustring GetRecycleBinDir() const;

 protected:
  void DoTask() override;

 private:
  struct Context {
    Registry::Entry entry;
  };

  uint32_t Now();

  // Set at construction.
  SyncEnv& env;
  std::atomic<int> abort_flag{0};
  std::atomic<uint32_t> age_{kRotationAge};

  std::mutex clock_mutex_;
  Clock clock_;  // guarded by clock_mutex_

  // The task thread's own.
  Context context;
};

}  // namespace tidewell

#endif  // TIDEWELL_SYNC_RECYCLE_CLEANER_H_
