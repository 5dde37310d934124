// The pending events of one session, as a tree that mirrors its folders.
//
// Each file node and each directory node holds at most one event. Pushing an
// event for a path that already has one merges the two (see MergeEvents in
// event_merge.h), so repeated changes of a file collapse into one job and a
// directory removal swallows the pending work below it. Workers take events
// out in a fixed order that never hands out work below a directory whose own
// event is pending or in progress, and report each back as done or to redo.
//
// Thread-safe: every operation that touches nodes holds the tree's mutex for
// its whole run. The two counters may be read without it.
//
// Cost: a push, hand-out or done is proportional to the depth of the path and
// logarithmic in the number of children of each folder on the way, never
// linear in it: children are found by name through a hash table, and each
// folder keeps its waiting files and its eligible sub-folders in hand-out
// order.

#ifndef TIDEWELL_EVENTS_EVENT_TREE_H_
#define TIDEWELL_EVENTS_EVENT_TREE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/ustring.h"
#include "events/event.h"

namespace tidewell {

class SyncStatusRecorder;

class EventList2 {
 public:
  enum Status : int {
    WAITING = 0,     // pending, may be handed out
    PROCESSING = 1,  // handed to a worker
    DONE = 2,        // no pending event; the node only holds children
    RETRY = 3,       // merged while processing; the worker's result is stale
  };

  // The event as stored in a node. Texts are kept as plain byte strings:
  // most are empty, and the tree holds many nodes.
  struct Attribute {
    Event::Type type = Event::EV_EMPTY;
    uint32_t mode = 0;
    uint64_t syncID = 0;
    uint64_t maxSyncID = 0;
    uint64_t sessID = 0;
    std::string hash;
    std::string path;
    std::string opt;
    std::string mac_attr_hash;
    uint64_t size = 0;
    uint64_t mac_attr_size = 0;
    uint32_t time = 0;
    uint64_t nodeID = 0;
    uint32_t exec_bit = 0;

    static Attribute FromEvent(const Event& e);
    Event ToEvent() const;
    // Writes every field into `e`, reusing its string buffers.
    void FillEvent(Event& e) const;
    bool IsServer() const { return (mode & Event::F_SERVER) != 0; }
  };

  // One node as seen by Snapshot(), for diagnostics and tests.
  struct NodeView {
    std::string path;  // "/" for the root
    bool is_dir = false;
    Status status = DONE;
    Event event;  // EV_EMPTY for a DONE node
    int ref_server = 0;
    int ref_local = 0;
  };

  // `watch_path` is the session's local root, used to address the file
  // status records of dropped nodes through `recorder`, which may be null
  // (nothing is recorded) and must outlive the tree.
  explicit EventList2(const ustring& watch_path = ustring(),
                      SyncStatusRecorder* recorder = nullptr);
  ~EventList2();
  EventList2(const EventList2&) = delete;
  EventList2& operator=(const EventList2&) = delete;

  // Merges `e` into the node of its path (created on the way as needed) and
  // logs it. 0, or -1 for a path that is empty, ends in "/" or exceeds the
  // component limits (1023 bytes a name, 4095 the folder part).
  int Push(const Event& e);
  // As Push without the log line; `old` receives the node's previous event
  // (EV_EMPTY when the node is new or had none).
  int Push(const Event& e, Event& old);

  // Hands out the first waiting event in tree order and marks it
  // PROCESSING. 0, or -1 when nothing can be handed out now.
  int Pop(Event& e);

  // Hands out the event of exactly `path`, looking among the directories
  // first, then the files, whatever its status; 0, or -1 when there is no
  // such node or it holds no event. A node already PROCESSING is handed out
  // again without being counted twice.
  int Pop(const ustring& path, Event& e);
  // The same for the node of the given kind only.
  int Pop(const ustring& path, bool is_dir, Event& e);

  // Finishes the handed-out event `e` (found by its path and F_DIR bit). -1,
  // changing nothing, when the node is missing, of the other side (F_SERVER)
  // or not PROCESSING (a RETRY node must be handed out again first).
  int DoneEvent(const Event& e);

  // Puts the node of `path` (directories first, then files) back to WAITING
  // at the end of its lists; every folder on the way moves to the end too.
  // 0, or -1 when there is no such node or it holds no event.
  int Redo(const ustring& path);
  // The same for the node of the given kind only.
  int Redo(const ustring& path, bool is_dir);

  // True when the root has no children.
  bool IsEmpty();

  int GetServerEventCount() const { return server_event_count_.load(); }
  int GetLocalEventCount() const { return local_event_count_.load(); }

  // Drops every node; counters back to 0.
  void Clear();

  // Drops the local events: local file nodes whatever their status, local
  // and empty folders with nothing left below; a local folder that still has
  // children keeps them and loses its own event.
  void ClearLocalEvent();

  // Writes the whole tree to the log at info level.
  void TraverseTree();

  // Every node, parents before children, children in hand-out order.
  std::vector<NodeView> Snapshot();

  const ustring& watch_path() const { return watch_path_; }

 private:
  struct Node;
  struct DirNode;
  struct FileNode;
  struct SplitPath;
  struct BySeq;

  // All Locked helpers expect mutex_ held.
  int PushLocked(const Event& e, Event* old);
  DirNode* WalkLocked(const SplitPath& sp, bool create, bool move_to_end);
  Node* FindNodeLocked(const ustring& path, int kind, bool move_to_end);
  int PopNodeLocked(Node* n, Event& e);
  int RedoNodeLocked(Node* n);
  int GetFirstWaitingLocked(DirNode* d, Event& e);
  void HandOutLocked(Node* n, Event& e);

  void SetStatusLocked(Node* n, Status s);
  void MoveToEndLocked(Node* n);
  void AdjustRefsLocked(DirNode* parent, bool server, int delta);
  void UpdateCandidacyLocked(DirNode* d);
  void ListWaitingLocked(Node* n);
  void UnlistWaitingLocked(Node* n);
  void CountLocked(bool server, int delta);
  void ForgetStatusLocked(const Node* n);

  void RemoveSubNodeLocked(DirNode* d, bool server, uint64_t base, int& remain);
  bool SubtreeHasLiveWorkLocked(const DirNode* d) const;
  bool SubtreeProcessesNonRemoveLocked(const DirNode* d) const;
  void MarkRemoveAncestorsLocked(Node* n);
  void MarkRemoveDirOverWorkLocked(DirNode* d);
  void EraseNodeLocked(Node* n);
  void PruneEmptyAncestorsLocked(DirNode* d);
  void ClearLocalLocked(DirNode* d);
  void SnapshotLocked(const DirNode* d, std::vector<NodeView>& out) const;

  std::string PathOfLocked(const Node* n) const;

  // Set at construction.
  const ustring watch_path_;
  SyncStatusRecorder* const recorder_;

  std::mutex mutex_;
  // Guarded by mutex_.
  std::unique_ptr<DirNode> root_;
  uint64_t next_seq_ = 1;  // hand-out order of siblings: lower goes first

  // Written under mutex_, readable without it.
  std::atomic<int> server_event_count_{0};
  std::atomic<int> local_event_count_{0};
};

}  // namespace tidewell

#endif  // TIDEWELL_EVENTS_EVENT_TREE_H_
