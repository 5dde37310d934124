// The process-wide queue through which every sync event passes.
//
// Producers (the change detector, the server event puller, the event
// generators, workers with follow-up work) push local and server events; the
// manager files each into its session's pool, merging it into the session's
// event tree. Expand and rescan requests wait in the pool's expand list and
// come after the tree's events. Workers pull one event at a time, sessions
// served in rotation; the manager remembers which worker holds which event,
// notices when a newer event for the same item arrives meanwhile (the
// worker then gets the merged event back from DoneEvent), and lets a worker
// redo an event. Pushing also marks the item as syncing in the file status
// records and tells the user interface.
//
// Thread-safe: one mutex guards everything; the trees' own mutexes nest
// inside it. Nothing blocks waiting for work: PullEvent returns -1 at once
// when there is nothing to hand out.

#ifndef TIDEWELL_EVENTS_EVENT_MANAGER_H_
#define TIDEWELL_EVENTS_EVENT_MANAGER_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>

#include "base/ustring.h"
#include "events/event.h"
#include "events/event_tree.h"

namespace tidewell {

class Registry;
class SyncStatusRecorder;
class Task;

class EventManager {
 public:
  // Tells the user interface that an item is about to be synchronised.
  using SyncingReporter = std::function<void(const Event&)>;

  // The process-wide instance, created on first use and bound to the
  // process-wide session registry. It starts with no status recorder and no
  // syncing reporter (nothing is marked, nobody is told): the daemon's
  // start-up must call SetStatusRecorder (the file status database's
  // recorder) and SetSyncingReporter (the user-interface notice) on it
  // before it starts any task.
  static EventManager& getInstance();

  // A manager that looks sessions up in `registry` (which must outlive it).
  explicit EventManager(Registry& registry);
  ~EventManager();
  EventManager(const EventManager&) = delete;
  EventManager& operator=(const EventManager&) = delete;

  // Where syncing marks go (null: nowhere) and who tells the user
  // interface (empty: nobody). Set before events flow; the recorder must
  // outlive the manager's pools.
  void SetStatusRecorder(SyncStatusRecorder* recorder);
  void SetSyncingReporter(SyncingReporter reporter);

  // Files a local event. Dropped (and logged) when its path is not valid
  // UTF-8, its session is not registered, or it is empty.
  void PushLocalEvent(const Event& e);
  // Files an event as a server event (F_SERVER is set on the copy).
  void PushServerEvent(const Event& e);

  // Hands `task` the next event of the session at the front of the
  // rotation: 0 with the event, -1 when none can be handed out now.
  int PullEvent(Task* task, Event& e);

  // Finishes the task's event. 0 when done (also for a task that holds
  // none); -1 when a newer event for the same item arrived meanwhile: `e`
  // then holds the merged event, which the task now holds and must process.
  int DoneEvent(Task* task, Event& e);

  // Gives the task's event back: it waits again at the end of its lists.
  // 0, or -1 when the session or the item is gone (the task holds nothing
  // afterwards either way).
  int RedoEvent(Task* task, const Event& e);

  // Queues a rescan (F_DIR|F_EXPAND|F_RESCAN, plus F_MERGE when `do_merge`)
  // or an expand request (F_DIR|F_EXPAND) of `path` as a local event. A
  // rescan of "/" replaces every expand request queued for the session.
  void IssueRescan(uint64_t sess_id, const ustring& path, bool do_merge);
  void IssueExpand(uint64_t sess_id, const ustring& path);

  // The session's pending server events (0 for an unknown session).
  int GetPendingServerEvent(uint64_t sess_id);
  // Everything pending for the session: tree events and expand requests
  // (0, and an error line, for an unknown session).
  int GetAllPendingEventCount(uint64_t sess_id);

  // Events of the session that tasks hold right now (pulled, not yet done
  // or given back), expand and rescan requests included.
  int GetHeldEventCount(uint64_t sess_id);

  // Marks `path` (a full local path) as syncing / drops its mark. 0 or -1.
  int SyncingEvent2FStatDB(const ustring& path, bool is_dir);
  int SyncedEvent2FStatDB(const ustring& path);

  // Drops every pool, every worker's registration and the rotation.
  void Clear();

 private:
  struct Pool {
    Pool(uint64_t id, const ustring& root, SyncStatusRecorder* recorder)
        : sess_id(id), tree(root, recorder) {}
    int Size() {
      return tree.GetLocalEventCount() + tree.GetServerEventCount() +
             static_cast<int>(expand_events.size());
    }
    const uint64_t sess_id;
    EventList2 tree;
    std::list<Event> expand_events;
    bool queued = false;  // in ready_queue_
  };

  // What one worker holds.
  struct Holding {
    Event processing;
    Event waiting;  // a newer event for the same item; EV_EMPTY if none
  };

  void Push(const Event& e, bool server);
  Pool* FindPoolLocked(uint64_t sess_id);
  void EnqueueLocked(Pool* pool);

  // Set at construction.
  Registry& sessions_;

  std::atomic<SyncStatusRecorder*> recorder_{nullptr};

  std::mutex m_lock;
  // Guarded by m_lock.
  SyncingReporter reporter_;
  std::map<Task*, Holding> registry_;
  std::map<uint64_t, std::unique_ptr<Pool>> pool_index_;
  std::deque<Pool*> ready_queue_;
};

}  // namespace tidewell

#endif  // TIDEWELL_EVENTS_EVENT_MANAGER_H_
