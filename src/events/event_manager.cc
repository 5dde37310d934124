#include "events/event_manager.h"

#include <string_view>

#include "base/log.h"
#include "base/task.h"
#include "events/sync_status_recorder.h"
#include "session/registry.h"

namespace tidewell {
namespace {

const ustring& Comp() {
  static const ustring component("event_mgr_debug");
  return component;
}

bool SameItem(const Event& a, const Event& b) {
  return a.m_sess_id == b.m_sess_id && a.IsDir() == b.IsDir() &&
         a.m_path == b.m_path;
}

}  // namespace

EventManager& EventManager::getInstance() {
  static EventManager manager(Registry::getInstance());
  return manager;
}

EventManager::EventManager(Registry& registry) : sessions_(registry) {}

EventManager::~EventManager() = default;

void EventManager::SetStatusRecorder(SyncStatusRecorder* recorder) {
  recorder_ = recorder;
}

void EventManager::SetSyncingReporter(SyncingReporter reporter) {
  std::lock_guard<std::mutex> lock(m_lock);
  reporter_ = std::move(reporter);
}

EventManager::Pool* EventManager::FindPoolLocked(uint64_t sess_id) {
  auto it = pool_index_.find(sess_id);
  return it == pool_index_.end() ? nullptr : it->second.get();
}

void EventManager::EnqueueLocked(Pool* pool) {
  if (pool->queued || pool->Size() == 0) return;
  ready_queue_.push_back(pool);
  pool->queued = true;
}

void EventManager::PushLocalEvent(const Event& e) { Push(e, false); }

void EventManager::PushServerEvent(const Event& e) { Push(e, true); }

void EventManager::Push(const Event& in, bool server) {
  Event e = in;
  if (server) e.m_mode |= Event::F_SERVER;
  if (!ustring::is_valid(e.m_path)) {
    TW_LOG_WARNING(Comp(), "event-manager", "File path is not valid, drop it.\n");
    return;
  }
  // A NUL byte would cut the path short wherever it becomes a C string.
  if (e.m_path.utf8_view().find('\0') != std::string_view::npos) {
    TW_LOG_WARNING(Comp(), "event-manager", "File path '%s...' holds a NUL byte, drop it.\n", e.m_path.c_str_utf8());
    return;
  }
  SyncingReporter report;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    Registry::Entry entry;
    if (sessions_.Find(e.m_sess_id, entry) != 1) {
      TW_LOG_ERROR(Comp(), "event-manager", "Can not find registry by session %llu.\n",
                   static_cast<unsigned long long>(e.m_sess_id));
      return;
    }
    if (e.m_type == Event::EV_EMPTY) return;
    const bool expand = e.IsExpand();
    if (expand && !e.IsDir()) return;

    Pool* pool = FindPoolLocked(e.m_sess_id);
    if (pool == nullptr) {
      auto fresh = std::make_unique<Pool>(e.m_sess_id, entry.local_path, recorder_);
      pool = fresh.get();
      pool_index_.emplace(e.m_sess_id, std::move(fresh));
    }
    if (!expand) {
      if (pool->tree.Push(e) != 0) {
        TW_LOG_WARNING(Comp(), "event-manager", "Refused event for path '%s'.\n",
                       e.m_path.c_str_utf8());
        return;
      }
    } else {
      if ((e.m_mode & Event::F_RESCAN) != 0 && e.m_path == ustring("/")) {
        TW_LOG_INFO(Comp(), "event-manager", "Merging expand event.\n");
        pool->expand_events.clear();
      }
      if (Logger::IsEnabled(Logger::L_DEBUG, Comp())) {
        ustring text = e.toString();
        TW_LOG_DEBUG(Comp(), "event-manager", "Push expand event [%s].\n", text.c_str_utf8());
      }
      pool->expand_events.push_back(e);
    }
    // A worker busy with the same item learns of the newer event; an upload
    // that the item's local removal makes pointless, and an expansion that
    // a new one of the same kind supersedes, are asked to give up.
    for (auto& [task, held] : registry_) {
      if (!SameItem(held.processing, e)) continue;
      if (!expand && !held.processing.IsExpand()) held.waiting = e;
      if (server) continue;
      const Event& p = held.processing;
      if (p.IsLocalEvent() && !p.IsExpand() &&
          (p.m_type == Event::EV_CREATE || p.m_type == Event::EV_MODIFY) &&
          e.m_type == Event::EV_REMOVE) {
        TW_LOG_INFO(Comp(), "event-manager",
                    "old event is UploadLocal but new event is RemoveRemote, abort UploadLocal progress '%s'.\n",
                    e.m_path.c_str_utf8());
        task->SetAbort(true);
      }
      if (expand && p.m_mode == e.m_mode) {
        TW_LOG_INFO(Comp(), "event-manager", "interrupt previous expander\n");
        task->SetAbort(true);
      }
    }

    if (Logger::IsEnabled(Logger::L_DEBUG, Comp())) {
      ustring text = e.toString();
      TW_LOG_DEBUG(Comp(), "event-manager", "EventManager::%s = [%s].\n",
                   server ? "PushServerEvent" : "PushLocalEvent", text.c_str_utf8());
    }
    EnqueueLocked(pool);
    if (server || !expand) {
      SyncingEvent2FStatDB(SyncStatusKey(entry.local_path, e.m_path), e.IsDir());
      report = reporter_;
    }
  }
  // One loopback connection per notice: not under the manager's lock.
  if (report) report(e);
}

int EventManager::PullEvent(Task* task, Event& e) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (ready_queue_.empty()) return -1;
  Pool* pool = ready_queue_.front();
  ready_queue_.pop_front();
  pool->queued = false;
  int r = pool->tree.Pop(e);
  if (r == 0) {
    if (Logger::IsEnabled(Logger::L_DEBUG, Comp())) {
      ustring text = e.toString();
      TW_LOG_DEBUG(Comp(), "event-manager", "event_pool: Pop an event [%s]\n", text.c_str_utf8());
    }
  } else if (!pool->expand_events.empty()) {
    e = std::move(pool->expand_events.front());
    pool->expand_events.pop_front();
    r = 0;
    if (Logger::IsEnabled(Logger::L_DEBUG, Comp())) {
      ustring text = e.toString();
      TW_LOG_DEBUG(Comp(), "event-manager", "event_pool: Pop an expand event [%s]\n",
                   text.c_str_utf8());
    }
  }
  if (r == 0) {
    Holding& held = registry_[task];
    held.processing = e;
    held.waiting.Clear();
    if (Logger::IsEnabled(Logger::L_DEBUG, Comp())) {
      ustring text = e.toString();
      TW_LOG_DEBUG(Comp(), "event-manager", "EventManager::PullEvent [%s]\n", text.c_str_utf8());
    }
  }
  EnqueueLocked(pool);
  return r;
}

int EventManager::DoneEvent(Task* task, Event& e) {
  std::lock_guard<std::mutex> lock(m_lock);
  auto it = registry_.find(task);
  if (it == registry_.end()) return 0;
  Holding& held = it->second;
  Pool* pool = FindPoolLocked(held.processing.m_sess_id);
  if (held.waiting.IsValid() && pool != nullptr) {
    TW_LOG_DEBUG(Comp(), "event-manager", "EventManager::DoneEvent is dirty, waiting for [%s]\n",
                 held.waiting.m_path.c_str_utf8());
    held.waiting.Clear();
    Event merged;
    if (pool->tree.Pop(held.processing.m_path, held.processing.IsDir(), merged) == 0) {
      held.processing = merged;
      e = std::move(merged);
      return -1;
    }
    // The item left the tree meanwhile: nothing more to do for it.
  }
  TW_LOG_DEBUG(Comp(), "event-manager", "EventManager::DoneEvent unregistry for [%s]\n",
               held.processing.m_path.c_str_utf8());
  if (!held.processing.IsExpand() && pool != nullptr) pool->tree.DoneEvent(held.processing);
  registry_.erase(it);
  return 0;
}

int EventManager::RedoEvent(Task* task, const Event& e) {
  int r = 0;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    registry_.erase(task);
    Pool* pool = FindPoolLocked(e.m_sess_id);
    if (pool == nullptr) {
      TW_LOG_ERROR(Comp(), "event-manager", "Can not find event pool\n");
      r = -1;
    } else if (e.IsExpand()) {
      pool->expand_events.push_back(e);
    } else if (pool->tree.Redo(e.m_path, e.IsDir()) != 0) {
      TW_LOG_ERROR(Comp(), "event-manager",
                   "Failed to Reset event status to watting in event tree '%s'.\n",
                   e.m_path.c_str_utf8());
      r = -1;
    }
    if (pool != nullptr) EnqueueLocked(pool);
  }
  if (Logger::IsEnabled(Logger::L_INFO, Comp())) {
    ustring text = e.toString();
    TW_LOG_INFO(Comp(), "event-manager", "EventManager::RedoEvent = [%s], ret= [%d]\n",
                text.c_str_utf8(), r);
  }
  return r;
}

void EventManager::IssueRescan(uint64_t sess_id, const ustring& path, bool do_merge) {
  Event e;
  e.m_type = Event::EV_CREATE;
  e.m_sess_id = sess_id;
  e.m_path = path;
  e.m_mode = Event::F_DIR | Event::F_EXPAND | Event::F_RESCAN | (do_merge ? Event::F_MERGE : 0);
  if (Logger::IsEnabled(Logger::L_INFO, Comp())) {
    ustring text = e.toString();
    TW_LOG_INFO(Comp(), "event-manager", "EventManager::IssueRescan at [%llu], ev=[%s]\n",
                static_cast<unsigned long long>(sess_id), text.c_str_utf8());
  }
  PushLocalEvent(e);
}

void EventManager::IssueExpand(uint64_t sess_id, const ustring& path) {
  Event e;
  e.m_type = Event::EV_CREATE;
  e.m_sess_id = sess_id;
  e.m_path = path;
  e.m_mode = Event::F_DIR | Event::F_EXPAND;
  if (Logger::IsEnabled(Logger::L_INFO, Comp())) {
    ustring text = e.toString();
    TW_LOG_INFO(Comp(), "event-manager", "EventManager::IssueExpand at [%llu], ev=[%s]\n",
                static_cast<unsigned long long>(sess_id), text.c_str_utf8());
  }
  PushLocalEvent(e);
}

int EventManager::GetPendingServerEvent(uint64_t sess_id) {
  std::lock_guard<std::mutex> lock(m_lock);
  Pool* pool = FindPoolLocked(sess_id);
  return pool == nullptr ? 0 : pool->tree.GetServerEventCount();
}

int EventManager::GetAllPendingEventCount(uint64_t sess_id) {
  std::lock_guard<std::mutex> lock(m_lock);
  Pool* pool = FindPoolLocked(sess_id);
  if (pool == nullptr) {
    TW_LOG_ERROR(Comp(), "event-manager", "========= no id found <%llu>====================\n",
                 static_cast<unsigned long long>(sess_id));
    return 0;
  }
  return pool->Size();
}

int EventManager::GetHeldEventCount(uint64_t sess_id) {
  std::lock_guard<std::mutex> lock(m_lock);
  int n = 0;
  for (const auto& [task, held] : registry_)
    if (held.processing.m_sess_id == sess_id) ++n;
  return n;
}

int EventManager::SyncingEvent2FStatDB(const ustring& path, bool is_dir) {
  TW_LOG_DEBUG(Comp(), "event-manager", "Syncing event to fstatdb at path [%s].\n",
               path.c_str_utf8());
  if (recorder_.load() == nullptr) return 0;
  if (recorder_.load()->MarkSyncing(path, is_dir) < 0) {
    TW_LOG_ERROR(Comp(), "event-manager",
                 "Failed to set syncing event into FStatDB at path [%s].\n", path.c_str_utf8());
    return -1;
  }
  return 0;
}

int EventManager::SyncedEvent2FStatDB(const ustring& path) {
  TW_LOG_DEBUG(Comp(), "event-manager", "Synced event to fstatdb at path [%s].\n",
               path.c_str_utf8());
  if (recorder_.load() == nullptr) return 0;
  if (recorder_.load()->Forget(path) < 0) {
    TW_LOG_ERROR(Comp(), "event-manager",
                 "Failed to rm synced event from FStatDB by path [%s].\n", path.c_str_utf8());
    return -1;
  }
  return 0;
}

void EventManager::Clear() {
  std::lock_guard<std::mutex> lock(m_lock);
  ready_queue_.clear();
  registry_.clear();
  pool_index_.clear();
}

}  // namespace tidewell
