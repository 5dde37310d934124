// "link" and "unlink": the shared environment and the task table.

#include "base/settings.h"
#include "daemon/daemon_log.h"
#include "daemon/tidewell.h"
#include "db/file_status_db.h"
#include "db/filter_db.h"
#include "events/event_manager.h"
#include "events/event_notice.h"
#include "events/file_status_recorder.h"
#include "filter/black_list.h"
#include "session/registry.h"
#include "session/ui_ipc.h"
#include "session/session_state.h"
#include "sync/detector.h"
#include "sync/progress_syncer.h"
#include "sync/recycle_cleaner.h"
#include "sync/syncer.h"
#include "sync/sync_env.h"
#include "sync/worker.h"

namespace tidewell {
namespace {

// Fixed places in the task table; the workers follow.
constexpr size_t kDetectorSlot = 0;
constexpr size_t kRecycleCleanerSlot = 1;
constexpr size_t kSyncerSlot = 2;
constexpr size_t kProgressSyncerSlot = 3;
constexpr size_t kFixedTasks = 4;

}  // namespace

int Tidewell::do_link(const PObject& /*request*/, PObject& reply) {
  if (linked_) {
    // Linking again would replace running tasks without stopping them.
    APP_LOG_ERR("link while linked, request ignored\n");
    reply["error"] = "Already linked";
    return -1;
  }
  if (init_env() != 0) {
    APP_LOG_ERR("failed to initialize environment\n");
    reply["error"] = "Failed to initialize environment";
    return -1;
  }
  if (init_members() != 0) {
    APP_LOG_ERR("failed to initialize members\n");
    reply["error"] = "Failed to initialize members";
    return -1;
  }
  start_all();
  linked_ = true;
  return 0;
}

void Tidewell::do_unlink() {
  APP_LOG_INFO("unlink daemon\n");
  stop_all();
  destroy_members();
  destroy_env();
  linked_ = false;
}

int Tidewell::init_env() {
  Settings& settings = Settings::getInstance();
  settings.print_settings();
  ustring filter_db = settings.getFilterDbPath();
  if (FilterDB::getInstance().initialize(filter_db) != 0) {
    APP_LOG_ERR("Failed to init filter DB at [%s]\n", filter_db.c_str_utf8());
    return -1;
  }
  ustring fstat_db = settings.getFStatDbPath();
  if (FileStatusDB::initialize(fstat_db) != 0) {
    APP_LOG_ERR("Failed to init file status DB at [%s]\n", fstat_db.c_str_utf8());
    return -1;
  }
  // Every start begins with an empty status table.
  if (FileStatusDB::removeAllEntry() != 0) APP_LOG_WARN("Failed to empty the file status DB\n");
  ustring system_filter = settings.getSystemFilterPath();
  if (BlackList2::getInstance().Load(system_filter) != 0) {
    APP_LOG_ERR("Failed to load system filter from %s.\n", system_filter.c_str_utf8());
    return -1;
  }
  // The event queue records syncing marks and tells the user interface;
  // both must be in place before any task pushes an event.
  EventManager& events = EventManager::getInstance();
  events.SetStatusRecorder(&FileStatusRecorder::getInstance());
  events.SetSyncingReporter([](const Event& e) { UI_IPC::ReportFileSyncingEventToUI(NoticeItem(e)); });
  return 0;
}

void Tidewell::destroy_env() {
  // What the removal guard keeps belongs to the sessions about to go.
  Registry& registry = Registry::getInstance();
  Registry::Entry e;
  while (registry.FindNext(0, e)) {
    SyncEnv::Process().removal_guard.Forget(e.sess_id);
    registry.Clear(e.sess_id);
  }
  FilterDB::getInstance().destroy();
  FileStatusDB::destroy();
  BlackList2::getInstance().Destroy();
  EventManager::getInstance().Clear();
  Registry::getInstance().Clear();
  SessionStateTable::getInstance().Clear();
}

int Tidewell::init_members() { return init_tasks(); }

int Tidewell::init_tasks() {
  uint32_t setting = Settings::getInstance().getWorkerCount();
  uint32_t worker_count = WorkerCountFor(setting);
  if (worker_count != setting) {
    APP_LOG_WARN("worker_count %u is out of range, using %u\n", setting, worker_count);
  }
  task.clear();
  task.resize(worker_count + 3);
  SyncEnv& env = SyncEnv::Process();
  task[kDetectorSlot] = std::make_unique<Detector>(env.events, env.registry);
  task[kRecycleCleanerSlot] = std::make_unique<RecycleCleaner>(env);
  task[kSyncerSlot] = std::make_unique<Syncer>(env);
  task[kProgressSyncerSlot] = std::make_unique<ProgressSyncer>(env);
  for (size_t i = kFixedTasks; i < task.size(); ++i) task[i] = std::make_unique<Worker>(env);
  APP_LOG_DEBUG("totally %lu tasks\n", static_cast<unsigned long>(task.size()));
  return 0;
}

void Tidewell::destroy_members() {
  destroy_tasks();
  destroy_connections();
}

void Tidewell::destroy_tasks() { task.clear(); }

void Tidewell::destroy_connections() {
  // The tasks that used the pool have ended (stop_all came first).
  SyncEnv::Process().pool.store(nullptr);
  pool_.reset();
}

void Tidewell::start_all() {
  for (size_t i = 0; i < task.size(); ++i) {
    if (task[i]->Run() != 0) APP_LOG_ERR("failed to start task %lu\n", static_cast<unsigned long>(i));
  }
}

int Tidewell::stop_all() {
  int rc = 0;
  for (auto& t : task) t->Stop();
  for (auto& t : task) rc = t->Join();
  return rc;
}

Detector* Tidewell::detector() const {
  if (task.size() <= kDetectorSlot) return nullptr;
  return static_cast<Detector*>(task[kDetectorSlot].get());
}

std::vector<Worker*> Tidewell::workers() const {
  std::vector<Worker*> out;
  for (size_t i = kFixedTasks; i < task.size(); ++i) out.push_back(static_cast<Worker*>(task[i].get()));
  return out;
}

}  // namespace tidewell
