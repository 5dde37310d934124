// What the sync engine's tasks share, handed to each task at construction
// instead of being reached through process-wide globals: the session table,
// the event queue, the filter database, the system exclusion list, the
// session status table, where notices for the user interface go, the
// connection pool (which the daemon links and unlinks while the tasks run)
// and the waits of the task loops. The daemon builds one from the
// process-wide objects (SyncEnv::Process()); tests build one per simulated
// client, so that two clients can run in one process.
//
// Thread-safety: the referenced objects lock themselves; `pool` is an
// atomic pointer; `timing` is set before the tasks start and only read
// afterwards.

#ifndef TIDEWELL_SYNC_SYNC_ENV_H_
#define TIDEWELL_SYNC_SYNC_ENV_H_

#include <atomic>
#include <cstdint>

#include "events/event.h"
#include "sync/change_backoff.h"
#include "sync/removal_guard.h"

namespace tidewell {

class BlackList2;
class ConnectionPool;
class EventManager;
class FilterDB;
class Registry;
class SessionStateTable;

// Where the engine's notices for the user interface go. Implementations are
// called from task threads and must be thread-safe; they must not call back
// into the engine.
class EngineNotices {
 public:
  virtual ~EngineNotices() = default;
  // A session stopped on `error` (a daemon code: quota, view, permission,
  // disk full, ...).
  virtual void SessionError(uint64_t sess_id, int error) = 0;
  // The server connection failed with `error` (authentication, version).
  virtual void ConnectionError(uint64_t conn_id, int error) = 0;
  // The item of `e` is locked or not accessible locally.
  virtual void FileLocked(const Event& e, int error) = 0;
  // The item of `e` was synchronised (`e.m_type`: EV_MODIFY or EV_REMOVE).
  virtual void FileEvent(const Event& e) = 0;
};

// The notices sent to the user interface over loopback (UI_IPC).
EngineNotices& UiNotices();

// Waits of the task loops, in milliseconds. Tests shorten them.
struct TaskTiming {
  int retry_ms = 3000;   // after an error whose action keeps the event
  int redo_ms = 2000;    // after giving an event back
  int idle_ms = 1000;    // when there is nothing to do
  int paused_ms = 1000;  // between looks while the task is paused
  int uptodate_ms = 5000;       // a puller, after every session answered "nothing new"
  int long_retry_ms = 120000;   // a puller, after an error whose action is 2
  // The event puller's "wait_ms": how long a server that offers it may hold
  // an empty pull (servers cap it at 60 s; the reply wait is 90 s). As long
  // as the sleep it replaces: a held pull keeps its pooled connection, so a
  // connection reload (which waits for every connection) and a session added
  // meanwhile wait at most this long, as they waited for the sleep before.
  int pull_wait_ms = 5000;
};

struct SyncEnv {
  SyncEnv(Registry& registry, EventManager& events, FilterDB& filter_db, BlackList2& system_filter,
          SessionStateTable& session_state, EngineNotices& notices)
      : registry(registry),
        events(events),
        filter_db(filter_db),
        system_filter(system_filter),
        session_state(session_state),
        notices(notices),
        removal_guard(registry, events, session_state, notices) {}
  SyncEnv(const SyncEnv&) = delete;
  SyncEnv& operator=(const SyncEnv&) = delete;

  // The process-wide objects (Registry, EventManager, FilterDB and
  // BlackList2 instances, SessionStateTable, UiNotices). Created on first
  // use; its pool starts null.
  static SyncEnv& Process();

  Registry& registry;
  EventManager& events;
  FilterDB& filter_db;
  BlackList2& system_filter;
  SessionStateTable& session_state;
  EngineNotices& notices;

  // The server connections; null while the daemon has none linked. The
  // owner must keep the pool alive while any task may hold it.
  std::atomic<ConnectionPool*> pool{nullptr};

  TaskTiming timing;

  // Holds removals that would spread a lost folder or a mass deletion to
  // the server until the user confirms them (the daemon's resume with
  // "confirm_removals" calls ConfirmRemovals).
  RemovalGuard removal_guard;
  // Spaces out uploads of files that keep changing while they are read.
  ChangeBackoff upload_backoff;
};

}  // namespace tidewell

#endif  // TIDEWELL_SYNC_SYNC_ENV_H_
