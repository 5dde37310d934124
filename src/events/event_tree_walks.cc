// The event tree's whole-folder walks: dropping the work a folder removal
// supersedes, marking removals that must rescan, clearing, listing.

#include <algorithm>

#include "events/event_tree.h"
#include "events/event_tree_nodes.h"
#include "base/log.h"

namespace tidewell {
namespace {

const ustring& Comp() {
  static const ustring component("event_list_debug");
  return component;
}

}  // namespace

std::vector<EventList2::Node*> EventList2::DirNode::FilesInOrder() const {
  std::vector<Node*> out;
  out.reserve(files.size());
  for (const auto& [name, node] : files) out.push_back(node.get());
  std::sort(out.begin(), out.end(), BySeq());
  return out;
}

std::vector<EventList2::Node*> EventList2::DirNode::DirsInOrder() const {
  std::vector<Node*> out;
  out.reserve(dirs.size());
  for (const auto& [name, node] : dirs) out.push_back(node.get());
  std::sort(out.begin(), out.end(), BySeq());
  return out;
}

// A folder's event became a removal of side `server` at sync identifier
// `base`: drop what it supersedes below it. Work in progress, work of the
// other side and server work newer than the removal stay. `remain` receives
// how many nodes are left below `d`.
void EventList2::RemoveSubNodeLocked(DirNode* d, bool server, uint64_t base,
                                     int& remain) {
  remain = 0;
  for (Node* cn : d->DirsInOrder()) {
    auto* c = static_cast<DirNode*>(cn);
    int r = 0;
    RemoveSubNodeLocked(c, server, base, r);
    const bool superseded = c->status == WAITING &&
                            c->attr.IsServer() == server &&
                            (!server || c->attr.syncID < base);
    if (r == 0 && (c->status == DONE || superseded)) {
      std::string path = PathOfLocked(c);
      TW_LOG_DEBUG(Comp(), "event-list2",
                "[Remove Dir Node] = [%s]\n",
               path.c_str());
      if (c->status == WAITING) CountLocked(server, -1);
      ForgetStatusLocked(c);
      EraseNodeLocked(c);
      continue;
    }
    TW_LOG_DEBUG(Comp(), "event-list2",
                "[Cannot Remove Dir Node] = [%s],refTemp = [%d],status = [%d], event_mode_equal[%d]\n", PathOfLocked(c).c_str(), r, static_cast<int>(c->status),
             c->attr.IsServer() == server ? 1 : 0);
    if (superseded) {
      CountLocked(server, -1);
      ForgetStatusLocked(c);
      c->attr = Attribute();
      SetStatusLocked(c, DONE);
    }
    remain += 1 + r;
  }
  for (Node* f : d->FilesInOrder()) {
    const bool stays = f->status == PROCESSING || f->status == RETRY ||
                       f->attr.IsServer() != server ||
                       (f->attr.IsServer() && f->attr.syncID >= base);
    if (stays) {
      TW_LOG_DEBUG(Comp(), "event-list2",
                "[Cannot Remove File Node] = [%s]\n", PathOfLocked(f).c_str());
      ++remain;
      continue;
    }
    TW_LOG_DEBUG(Comp(), "event-list2",
                "[Remove File Node] = [%s]\n",
             PathOfLocked(f).c_str());
    if (f->status == WAITING) CountLocked(server, -1);
    ForgetStatusLocked(f);
    EraseNodeLocked(f);
  }
}

// True when some node below `d` holds an event that is not a removal.
bool EventList2::SubtreeHasLiveWorkLocked(const DirNode* d) const {
  for (const auto& [name, f] : d->files)
    if (f->status != DONE && f->attr.type != Event::EV_REMOVE) return true;
  for (const auto& [name, c] : d->dirs) {
    if (c->status != DONE && c->attr.type != Event::EV_REMOVE) return true;
    if (SubtreeHasLiveWorkLocked(c.get())) return true;
  }
  return false;
}

// True when some node below `d` is being processed with an event that is
// not a removal.
bool EventList2::SubtreeProcessesNonRemoveLocked(const DirNode* d) const {
  if (d->refServerCount == 0 && d->refLocalCount == 0) return false;
  for (const auto& [name, f] : d->files)
    if (f->status == PROCESSING && f->attr.type != Event::EV_REMOVE)
      return true;
  for (const auto& [name, c] : d->dirs) {
    if (c->status == PROCESSING && c->attr.type != Event::EV_REMOVE)
      return true;
    if (SubtreeProcessesNonRemoveLocked(c.get())) return true;
  }
  return false;
}

// A waiting removal of folder `d` while the other side's work below it is
// still in progress: once handed out it must compare what is left.
void EventList2::MarkRemoveDirOverWorkLocked(DirNode* d) {
  if (d->status != WAITING || d->attr.type != Event::EV_REMOVE) return;
  if (d->attr.IsServer() && d->refLocalCount != 0) {
    if (!SubtreeProcessesNonRemoveLocked(d)) return;
    d->attr.mode |= Event::F_SERVER_SUBDIR_RESCAN_STAT;
    TW_LOG_INFO(Comp(), "event-list2",
                "Mark node to be SetServerSubDirRescanWithStat(sub-node processing) [%s].\n", d->attr.path.c_str());
  } else if (!d->attr.IsServer() && d->refServerCount != 0) {
    if (!SubtreeProcessesNonRemoveLocked(d)) return;
    d->attr.mode |= Event::F_LOCAL_SUBDIR_RESCAN_STAT;
    TW_LOG_INFO(Comp(), "event-list2",
                "Mark node to be SetLocalSubDirRescanWithStat(sub-node processing) [%s].\n", d->attr.path.c_str());
  }
}

// `n` was just handed out by path, possibly below waiting folder removals.
void EventList2::MarkRemoveAncestorsLocked(Node* n) {
  if (n->attr.type == Event::EV_REMOVE) return;
  for (DirNode* a = n->parent; a != nullptr && a->parent != nullptr;
       a = a->parent)
    MarkRemoveDirOverWorkLocked(a);
}

void EventList2::Clear() {
  TW_LOG_INFO(Comp(), "event-list2",
                "========Clear=========\n");
  std::lock_guard<std::mutex> lock(mutex_);
  root_ = std::make_unique<DirNode>("/", nullptr, true, 0);
  root_->status = DONE;
  server_event_count_ = 0;
  local_event_count_ = 0;
}

void EventList2::ClearLocalLocked(DirNode* d) {
  for (Node* f : d->FilesInOrder()) {
    if (f->attr.IsServer()) continue;
    if (f->status == PROCESSING) AdjustRefsLocked(d, false, -1);
    ForgetStatusLocked(f);
    EraseNodeLocked(f);
  }
  for (Node* cn : d->DirsInOrder()) {
    auto* c = static_cast<DirNode*>(cn);
    ClearLocalLocked(c);
    if (c->attr.IsServer() && c->status != DONE) continue;
    // A folder in progress stops counting on its ancestors either way.
    if (c->status == PROCESSING) AdjustRefsLocked(d, false, -1);
    if (c->status != DONE) ForgetStatusLocked(c);
    if (!c->HasChildren()) {
      EraseNodeLocked(c);
    } else {
      c->attr = Attribute();
      SetStatusLocked(c, DONE);
    }
  }
}

void EventList2::ClearLocalEvent() {
  TW_LOG_INFO(Comp(), "event-list2",
                "========RemoveLocalEvent=========\n");
  std::lock_guard<std::mutex> lock(mutex_);
  ClearLocalLocked(root_.get());
  local_event_count_ = 0;
}

void EventList2::SnapshotLocked(const DirNode* d,
                                std::vector<NodeView>& out) const {
  auto view = [&](const Node* n) {
    NodeView v;
    v.path = PathOfLocked(n);
    v.is_dir = n->is_dir;
    v.status = n->status;
    if (n->status != DONE) v.event = n->attr.ToEvent();
    if (n->is_dir) {
      v.ref_server = static_cast<const DirNode*>(n)->refServerCount;
      v.ref_local = static_cast<const DirNode*>(n)->refLocalCount;
    }
    out.push_back(std::move(v));
  };
  if (d->parent == nullptr) view(d);
  for (const Node* f : d->FilesInOrder()) view(f);
  for (const Node* c : d->DirsInOrder()) {
    view(c);
    SnapshotLocked(static_cast<const DirNode*>(c), out);
  }
}

std::vector<EventList2::NodeView> EventList2::Snapshot() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<NodeView> out;
  SnapshotLocked(root_.get(), out);
  return out;
}

void EventList2::TraverseTree() {
  if (!Logger::IsEnabled(Logger::L_INFO, Comp())) return;
  for (const NodeView& v : Snapshot()) {
    ustring text = v.event.toString();
    TW_LOG_INFO(Comp(), "event-list2",
                "%s [%s] status = [%d], refServer = [%d], refLocal = [%d], %s\n", v.is_dir ? "DIR " : "FILE", v.path.c_str(),
                 static_cast<int>(v.status), v.ref_server, v.ref_local,
                 text.c_str_utf8());
  }
}

}  // namespace tidewell
