// The event tree: pushing, handing out, finishing and redoing events.
// Whole-folder walks (removal below a folder, clearing, listing) are in
// event_tree_walks.cc.

#include "events/event_tree.h"

#include <string_view>

#include "events/event_merge.h"
#include "events/event_tree_nodes.h"
#include "base/log.h"
#include "events/sync_status_recorder.h"

namespace tidewell {
namespace {

const ustring& Comp() {
  static const ustring component("event_list_debug");
  return component;
}
constexpr size_t kMaxName = 1023;
constexpr size_t kMaxDirPart = 4095;

// Which node of a path a lookup wants.
enum Kind { kAnyKind = -1, kFileKind = 0, kDirKind = 1 };

}  // namespace

// A path cut into its folder components and last name; the views point into
// the caller's string.
struct EventList2::SplitPath {
  std::vector<std::string_view> dirs;
  std::string_view name;

  // False for an empty path, one that ends in "/" and one past the limits.
  bool Parse(std::string_view path) {
    if (path.empty() || path.back() == '/') return false;
    size_t last = path.rfind('/');
    if (last != std::string_view::npos && last > kMaxDirPart) return false;
    size_t pos = 0;
    while (pos < path.size()) {
      if (path[pos] == '/') {
        ++pos;
        continue;
      }
      size_t end = path.find('/', pos);
      if (end == std::string_view::npos) end = path.size();
      std::string_view comp = path.substr(pos, end - pos);
      if (comp.size() > kMaxName) return false;
      if (end == path.size())
        name = comp;
      else
        dirs.push_back(comp);
      pos = end;
    }
    return !name.empty();
  }
};

EventList2::Attribute EventList2::Attribute::FromEvent(const Event& e) {
  Attribute a;
  a.type = e.m_type;
  a.mode = e.m_mode;
  a.syncID = e.m_sync_id;
  a.maxSyncID = e.m_max_id;
  a.sessID = e.m_sess_id;
  a.hash = e.m_data_hash.utf8_view();
  a.path = e.m_path.utf8_view();
  a.opt = e.m_opt.utf8_view();
  a.mac_attr_hash = e.m_mac_attr_hash.utf8_view();
  a.size = e.m_data_size;
  a.mac_attr_size = e.m_mac_attr_size;
  a.time = e.m_time;
  a.exec_bit = e.m_exec_bit;
  return a;
}

void EventList2::Attribute::FillEvent(Event& e) const {
  e.m_type = type;
  e.m_mode = mode;
  e.m_sync_id = syncID;
  e.m_max_id = maxSyncID;
  e.m_data_size = size;
  e.m_time = time;
  e.m_data_hash.assign(hash.data(), static_cast<ustring::size_type>(hash.size()));
  e.m_path.assign(path.data(), static_cast<ustring::size_type>(path.size()));
  e.m_opt.assign(opt.data(), static_cast<ustring::size_type>(opt.size()));
  e.m_mac_attr_hash.assign(mac_attr_hash.data(),
                           static_cast<ustring::size_type>(mac_attr_hash.size()));
  e.m_mac_attr_size = mac_attr_size;
  e.m_sess_id = sessID;
  e.m_exec_bit = exec_bit;
}

Event EventList2::Attribute::ToEvent() const {
  Event e;
  FillEvent(e);
  return e;
}

EventList2::EventList2(const ustring& watch_path, SyncStatusRecorder* recorder)
    : watch_path_(watch_path),
      recorder_(recorder),
      root_(std::make_unique<DirNode>("/", nullptr, true, 0)) {
  root_->status = DONE;
}

EventList2::~EventList2() = default;

// ---- bookkeeping helpers (mutex_ held) -------------------------------------

void EventList2::CountLocked(bool server, int delta) {
  (server ? server_event_count_ : local_event_count_) += delta;
}

void EventList2::UpdateCandidacyLocked(DirNode* d) {
  if (d->parent == nullptr) return;
  bool want = d->status == DONE ||
              (d->status == WAITING && d->refServerCount == 0 &&
               d->refLocalCount == 0);
  if (want == d->in_parent_candidates) return;
  auto& cands = d->parent->candidates;
  if (want) {
    if (cands.empty() || cands.rbegin()->first < d->seq)
      cands.emplace_hint(cands.end(), d->seq, d);
    else
      cands.emplace(d->seq, d);
  } else {
    cands.erase(d->seq);
  }
  d->in_parent_candidates = want;
}

void EventList2::ListWaitingLocked(Node* n) {
  DirNode* p = n->parent;
  Node* after = p->wait_tail;
  while (after != nullptr && after->seq > n->seq) after = after->wait_prev;
  n->wait_prev = after;
  n->wait_next = after != nullptr ? after->wait_next : p->wait_head;
  if (n->wait_next != nullptr)
    n->wait_next->wait_prev = n;
  else
    p->wait_tail = n;
  if (after != nullptr)
    after->wait_next = n;
  else
    p->wait_head = n;
  n->wait_listed = true;
}

void EventList2::UnlistWaitingLocked(Node* n) {
  if (!n->wait_listed) return;
  DirNode* p = n->parent;
  if (n->wait_prev != nullptr)
    n->wait_prev->wait_next = n->wait_next;
  else
    p->wait_head = n->wait_next;
  if (n->wait_next != nullptr)
    n->wait_next->wait_prev = n->wait_prev;
  else
    p->wait_tail = n->wait_prev;
  n->wait_prev = n->wait_next = nullptr;
  n->wait_listed = false;
}

void EventList2::SetStatusLocked(Node* n, Status s) {
  Status old = n->status;
  n->status = s;
  if (n->is_dir) {
    UpdateCandidacyLocked(static_cast<DirNode*>(n));
  } else if (old != s) {
    if (old == WAITING) UnlistWaitingLocked(n);
    if (s == WAITING) ListWaitingLocked(n);
  }
}

void EventList2::MoveToEndLocked(Node* n) {
  DirNode* p = n->parent;
  if (p == nullptr) return;
  if (n->is_dir) {
    auto* d = static_cast<DirNode*>(n);
    bool listed = d->in_parent_candidates;
    if (listed) p->candidates.erase(d->seq);
    d->seq = next_seq_++;
    if (listed) p->candidates.emplace_hint(p->candidates.end(), d->seq, d);
  } else {
    bool listed = n->wait_listed;
    UnlistWaitingLocked(n);
    n->seq = next_seq_++;
    if (listed) ListWaitingLocked(n);
  }
}

void EventList2::AdjustRefsLocked(DirNode* parent, bool server, int delta) {
  for (DirNode* a = parent; a != nullptr && a->parent != nullptr;
       a = a->parent) {
    (server ? a->refServerCount : a->refLocalCount) += delta;
    UpdateCandidacyLocked(a);
  }
}

void EventList2::ForgetStatusLocked(const Node* n) {
  if (recorder_ == nullptr) return;
  ustring key = SyncStatusKey(watch_path_, ustring(PathOfLocked(n)));
  if (recorder_->Forget(key) < 0) {
    TW_LOG_ERROR(Comp(), "event-list2",
                "Failed to rm synced event from FStatDB [%s].\n", key.c_str_utf8());
  }
}

std::string EventList2::PathOfLocked(const Node* n) const {
  if (n->parent == nullptr) return "/";
  std::vector<const Node*> chain;
  for (const Node* a = n; a->parent != nullptr; a = a->parent)
    chain.push_back(a);
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    path += '/';
    path += (*it)->name;
  }
  return path;
}

void EventList2::EraseNodeLocked(Node* n) {
  DirNode* p = n->parent;
  if (n->is_dir) {
    if (static_cast<DirNode*>(n)->in_parent_candidates)
      p->candidates.erase(n->seq);
    auto it = p->dirs.find(n->name);
    p->dirs.erase(it);
  } else {
    UnlistWaitingLocked(n);
    auto it = p->files.find(n->name);
    p->files.erase(it);
  }
}

void EventList2::PruneEmptyAncestorsLocked(DirNode* d) {
  while (d->parent != nullptr && d->status == DONE && !d->HasChildren()) {
    DirNode* up = d->parent;
    EraseNodeLocked(d);
    d = up;
  }
}

// ---- lookups ---------------------------------------------------------------

EventList2::DirNode* EventList2::WalkLocked(const SplitPath& sp, bool create,
                                            bool move_to_end) {
  DirNode* d = root_.get();
  for (std::string_view comp : sp.dirs) {
    auto it = d->dirs.find(comp);
    DirNode* child;
    if (it != d->dirs.end()) {
      child = it->second.get();
      if (move_to_end) MoveToEndLocked(child);
    } else {
      if (!create) return nullptr;
      auto slot = d->dirs.emplace(std::string(comp), nullptr).first;
      slot->second = std::make_unique<DirNode>(slot->first, d, true, next_seq_++);
      child = slot->second.get();
      child->status = DONE;
      UpdateCandidacyLocked(child);
    }
    d = child;
  }
  return d;
}

EventList2::Node* EventList2::FindNodeLocked(const ustring& path, int kind,
                                             bool move_to_end) {
  SplitPath sp;
  if (!sp.Parse(path.utf8_view())) return nullptr;
  DirNode* parent = WalkLocked(sp, false, move_to_end);
  if (parent == nullptr) return nullptr;
  if (kind != kFileKind) {
    auto it = parent->dirs.find(sp.name);
    if (it != parent->dirs.end()) return it->second.get();
  }
  if (kind != kDirKind) {
    auto it = parent->files.find(sp.name);
    if (it != parent->files.end()) return it->second.get();
  }
  return nullptr;
}

// ---- push ------------------------------------------------------------------

int EventList2::Push(const Event& e) {
  if (Logger::IsEnabled(Logger::L_INFO, Comp())) {
    ustring text = e.toString();
    TW_LOG_INFO(Comp(), "event-list2",
                "[Push Event] = [%s]\n",
                 text.c_str_utf8());
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return PushLocked(e, nullptr);
}

int EventList2::Push(const Event& e, Event& old) {
  std::lock_guard<std::mutex> lock(mutex_);
  return PushLocked(e, &old);
}

int EventList2::PushLocked(const Event& e, Event* old) {
  if (old != nullptr) old->Clear();
  // An empty event would sit in the tree as a job with nothing to do.
  if (e.m_type == Event::EV_EMPTY) return -1;
  SplitPath sp;
  if (!sp.Parse(e.m_path.utf8_view())) return -1;
  DirNode* parent = WalkLocked(sp, true, false);
  const bool is_dir = e.IsDir();

  Node* node = nullptr;
  if (is_dir) {
    auto it = parent->dirs.find(sp.name);
    if (it != parent->dirs.end()) node = it->second.get();
  } else {
    auto it = parent->files.find(sp.name);
    if (it != parent->files.end()) node = it->second.get();
  }

  if (node == nullptr) {
    if (is_dir) {
      auto slot = parent->dirs.emplace(std::string(sp.name), nullptr).first;
      slot->second = std::make_unique<DirNode>(slot->first, parent, true, next_seq_++);
      node = slot->second.get();
    } else {
      auto slot = parent->files.emplace(std::string(sp.name), nullptr).first;
      slot->second = std::make_unique<FileNode>(slot->first, parent, false, next_seq_++);
      node = slot->second.get();
    }
    node->attr = Attribute::FromEvent(e);
    node->status = DONE;  // so that SetStatus lists it
    SetStatusLocked(node, WAITING);
    CountLocked(e.IsServerEvent(), +1);
    return 0;
  }

  const Status prev = node->status;
  if (old != nullptr && prev != DONE) *old = node->attr.ToEvent();
  if (prev == DONE) {
    node->attr = Attribute::FromEvent(e);
  } else {
    const bool old_server = node->attr.IsServer();
    if (prev == PROCESSING) AdjustRefsLocked(parent, old_server, -1);
    CountLocked(old_server, -1);
    node->attr = HandleConflict(node->attr, Attribute::FromEvent(e));
  }
  SetStatusLocked(node, (prev == PROCESSING || prev == RETRY) ? RETRY : WAITING);
  CountLocked(node->attr.IsServer(), +1);

  if (is_dir && node->attr.type == Event::EV_REMOVE) {
    auto* d = static_cast<DirNode*>(node);
    int remain = 0;
    RemoveSubNodeLocked(d, node->attr.IsServer(), node->attr.syncID, remain);
    if (d->status == WAITING) MarkRemoveDirOverWorkLocked(d);
  }
  return 0;
}

// ---- hand-out --------------------------------------------------------------

void EventList2::HandOutLocked(Node* n, Event& e) {
  SetStatusLocked(n, PROCESSING);
  AdjustRefsLocked(n->parent, n->attr.IsServer(), +1);
  n->attr.FillEvent(e);
  if (n->is_dir) {
    if (Logger::IsEnabled(Logger::L_INFO, Comp())) {
      ustring text = e.toString();
      TW_LOG_INFO(Comp(), "event-list2",
                "[Pop Dir Event] = [%s], server = [%d], type = [%d], path = [%s]\n", text.c_str_utf8(), n->attr.IsServer() ? 1 : 0,
                   static_cast<int>(n->attr.type), n->attr.path.c_str());
    }
  } else if (Logger::IsEnabled(Logger::L_DEBUG, Comp())) {
    ustring text = e.toString();
    TW_LOG_DEBUG(Comp(), "event-list2",
                "[Pop File Event] = [%s], server = [%d], type = [%d], path = [%s]\n", text.c_str_utf8(), n->attr.IsServer() ? 1 : 0,
                 static_cast<int>(n->attr.type), n->attr.path.c_str());
  }
}

int EventList2::GetFirstWaitingLocked(DirNode* d, Event& e) {
  for (;;) {
    if (d->wait_head != nullptr) {
      HandOutLocked(d->wait_head, e);
      return 0;
    }
    if (d->candidates.empty()) return -1;
    auto* c = static_cast<DirNode*>(d->candidates.begin()->second);
    if (c->status == DONE) {
      // The first folder without an event of its own decides the outcome:
      // later siblings wait until its subtree is through.
      d = c;
      continue;
    }
    if (c->attr.type == Event::EV_REMOVE && c->HasChildren() &&
        SubtreeHasLiveWorkLocked(c)) {
      if (c->attr.IsServer()) {
        c->attr.mode |= Event::F_SERVER_SUBDIR_RESCAN_STAT;
        TW_LOG_INFO(Comp(), "event-list2",
                "Mark node to be SetServerSubDirRescanWithStat(sub-node not empty) [%s].\n", c->attr.path.c_str());
      } else {
        c->attr.mode |= Event::F_LOCAL_SUBDIR_RESCAN_STAT;
        TW_LOG_INFO(Comp(), "event-list2",
                "Mark node to be SetLocalSubDirRescanWithStat(sub-node not empty) [%s].\n", c->attr.path.c_str());
      }
    }
    HandOutLocked(c, e);
    return 0;
  }
}

int EventList2::Pop(Event& e) {
  std::lock_guard<std::mutex> lock(mutex_);
  return GetFirstWaitingLocked(root_.get(), e);
}

int EventList2::PopNodeLocked(Node* n, Event& e) {
  TW_LOG_DEBUG(Comp(), "event-list2",
                "Event tree current status local_evnet: %d, server_event:%d.\n", local_event_count_.load(), server_event_count_.load());
  if (n == nullptr || n->status == DONE) return -1;
  if (n->status == PROCESSING) {
    // Already out: hand the same event again without counting it twice.
    n->attr.FillEvent(e);
  } else {
    HandOutLocked(n, e);
    MarkRemoveAncestorsLocked(n);
  }
  if (Logger::IsEnabled(Logger::L_DEBUG, Comp())) {
    ustring text = e.toString();
    TW_LOG_DEBUG(Comp(), "event-list2",
                "[Pop Event] = [%s]\n",
                 text.c_str_utf8());
  }
  return 0;
}

int EventList2::Pop(const ustring& path, Event& e) {
  std::lock_guard<std::mutex> lock(mutex_);
  return PopNodeLocked(FindNodeLocked(path, kAnyKind, false), e);
}

int EventList2::Pop(const ustring& path, bool is_dir, Event& e) {
  std::lock_guard<std::mutex> lock(mutex_);
  return PopNodeLocked(
      FindNodeLocked(path, is_dir ? kDirKind : kFileKind, false), e);
}

// ---- done and redo ---------------------------------------------------------

int EventList2::DoneEvent(const Event& e) {
  std::lock_guard<std::mutex> lock(mutex_);
  const char* path = e.m_path.c_str_utf8();
  SplitPath sp;
  DirNode* parent = nullptr;
  if (sp.Parse(e.m_path.utf8_view())) parent = WalkLocked(sp, false, false);
  if (parent == nullptr) {
    if (e.IsFile())
      TW_LOG_ERROR(Comp(), "event-list2",
                "Failed to UpdateFileDoneEvent(parent not found) [%s]\n", path);
    else
      TW_LOG_DEBUG(Comp(), "event-list2",
                "Failed to UpdateDirDoneEvent(parent not found) [%s]\n", path);
    return -1;
  }
  Node* node = nullptr;
  if (e.IsDir()) {
    auto it = parent->dirs.find(sp.name);
    if (it != parent->dirs.end()) node = it->second.get();
  } else {
    auto it = parent->files.find(sp.name);
    if (it != parent->files.end()) node = it->second.get();
  }
  if (node == nullptr) {
    TW_LOG_DEBUG(Comp(), "event-list2",
                "Failed to UpdateDoneEvent(%s not found) [%s]\n", e.IsDir() ? "DirNode" : "FileNode", path);
    return -1;
  }
  if (node->attr.IsServer() != e.IsServerEvent()) {
    TW_LOG_DEBUG(Comp(), "event-list2",
                "Failed to UpdateDoneEvent(attr mode is diff) [%s]\n", path);
    return -1;
  }
  if (node->status != PROCESSING) {
    TW_LOG_DEBUG(Comp(), "event-list2",
                "Failed to UpdateDoneEvent(NOT PROCESSING) [%s] in status[%d].\n", path, static_cast<int>(node->status));
    return -1;
  }
  const bool server = node->attr.IsServer();
  AdjustRefsLocked(parent, server, -1);
  CountLocked(server, -1);
  bool removed = true;
  if (!node->is_dir || !static_cast<DirNode*>(node)->HasChildren()) {
    EraseNodeLocked(node);
  } else {
    node->attr = Attribute();
    SetStatusLocked(node, DONE);
    removed = false;
  }
  if (removed) PruneEmptyAncestorsLocked(parent);
  TW_LOG_DEBUG(Comp(), "event-list2",
                "DoneEvent ret = [%d], %s.\n", 0,
           path);
  TW_LOG_DEBUG(Comp(), "event-list2",
                "DoneEvent local event = [%d], server event = [%d]\n", local_event_count_.load(), server_event_count_.load());
  return 0;
}

int EventList2::RedoNodeLocked(Node* n) {
  if (n == nullptr || n->status == DONE) return -1;
  if (n->status == PROCESSING)
    AdjustRefsLocked(n->parent, n->attr.IsServer(), -1);
  MoveToEndLocked(n);
  SetStatusLocked(n, WAITING);
  return 0;
}

int EventList2::Redo(const ustring& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  return RedoNodeLocked(FindNodeLocked(path, kAnyKind, true));
}

int EventList2::Redo(const ustring& path, bool is_dir) {
  std::lock_guard<std::mutex> lock(mutex_);
  return RedoNodeLocked(
      FindNodeLocked(path, is_dir ? kDirKind : kFileKind, true));
}

bool EventList2::IsEmpty() {
  std::lock_guard<std::mutex> lock(mutex_);
  return !root_->HasChildren();
}

}  // namespace tidewell
