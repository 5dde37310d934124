// Private to the event tree: its node types. Included only by
// event_tree*.cc.

#ifndef TIDEWELL_EVENTS_EVENT_TREE_NODES_H_
#define TIDEWELL_EVENTS_EVENT_TREE_NODES_H_

#include <memory>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "events/event_tree.h"

namespace tidewell {

struct EventList2::Node {
  Node(std::string_view n, DirNode* p, bool dir, uint64_t s)
      : name(n), parent(p), is_dir(dir), seq(s) {}
  virtual ~Node() = default;

  bool HasEvent() const { return status != DONE; }

  // Last path component: views the key of the parent's map, which lives
  // exactly as long as the node ("/" for the root).
  const std::string_view name;
  DirNode* const parent;   // null only for the root
  const bool is_dir;
  Status status = WAITING;
  Attribute attr;
  // Position among the siblings of its kind: appending and moving to the
  // end both take the tree's next number, so ascending seq is list order.
  uint64_t seq;
  // Links of the parent's list of waiting files (files only).
  Node* wait_prev = nullptr;
  Node* wait_next = nullptr;
  bool wait_listed = false;
};

struct EventList2::FileNode : EventList2::Node {
  using Node::Node;
};

// Lets the children maps be searched with a string_view.
struct NameHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
};

struct EventList2::BySeq {
  bool operator()(const EventList2::Node* a, const EventList2::Node* b) const;
};

struct EventList2::DirNode : EventList2::Node {
  using Node::Node;

  bool HasChildren() const { return !dirs.empty() || !files.empty(); }
  // Children of one kind in list order (for the rare whole-folder walks).
  std::vector<Node*> FilesInOrder() const;
  std::vector<Node*> DirsInOrder() const;

  // Children by name. The name lives in the map's own node, so a lookup
  // compares without visiting the child.
  std::unordered_map<std::string, std::unique_ptr<FileNode>, NameHash, std::equal_to<>> files;
  std::unordered_map<std::string, std::unique_ptr<DirNode>, NameHash, std::equal_to<>> dirs;
  // Files in status WAITING, in list order: the head is the next hand-out.
  // A file becomes WAITING when it is appended or moved to the end, so an
  // insertion is found from the tail at once.
  Node* wait_head = nullptr;
  Node* wait_tail = nullptr;
  // Child folders the hand-out may stop at, by seq: those WAITING with
  // nothing in progress below them, and those DONE (descended into).
  std::map<uint64_t, Node*> candidates;
  bool in_parent_candidates = false;

  // Events in status PROCESSING anywhere strictly below, by side.
  int refServerCount = 0;
  int refLocalCount = 0;
};

inline bool EventList2::BySeq::operator()(const EventList2::Node* a,
                              const EventList2::Node* b) const {
  return a->seq < b->seq;
}

}  // namespace tidewell

#endif  // TIDEWELL_EVENTS_EVENT_TREE_NODES_H_
