#include "sync/recycle_cleaner.h"

#include <chrono>
#include <ctime>
#include <set>
#include <string>
#include <thread>

#include "db/file_event_db.h"
#include "platform/session_fs.h"
#include "sync/sync_log.h"

namespace tidewell {

namespace sync_internal {
const ustring& RecycleCleanerComponent() {
  static const ustring component("recycle_cleaner_debug");
  return component;
}
}  // namespace sync_internal

namespace {

using ull = unsigned long long;

// The recycle folder relative to the session root.
ustring RecycleRel() { return ustring(std::string("/") + kWorkingFolderName + "/" + kRecycleFolderName); }

}  // namespace

RecycleCleaner::RecycleCleaner(TaskManager* /*owner*/) : RecycleCleaner(SyncEnv::Process()) {}

RecycleCleaner::RecycleCleaner(SyncEnv& env) : env(env) {}

RecycleCleaner::~RecycleCleaner() { StopAndJoin(); }

int RecycleCleaner::Pause() {
  abort_flag.store(1);
  return Task::Pause();
}

int RecycleCleaner::Stop() {
  abort_flag.store(1);
  return Task::Stop();
}

int RecycleCleaner::Resume() {
  abort_flag.store(0);
  return Task::Resume();
}

void RecycleCleaner::SetClock(Clock clock) {
  std::lock_guard<std::mutex> lock(clock_mutex_);
  clock_ = std::move(clock);
}

uint32_t RecycleCleaner::Now() {
  {
    std::lock_guard<std::mutex> lock(clock_mutex_);
    if (clock_) return clock_();
  }
  return static_cast<uint32_t>(std::time(nullptr));
}

void RecycleCleaner::DoTask() {
  RC_LOG_DEBUG("RecycleCleaner START.\n");
  for (;;) {
    const State state = GetState();
    if (state == STOP) {
      RC_LOG_DEBUG("RecycleCleaner : stop working\n");
      return;
    }
    if (state == PAUSE) {
      std::this_thread::sleep_for(std::chrono::milliseconds(env.timing.paused_ms));
      continue;
    }
    if (UpdateContext() != 0 || Rotate() != 0) {
      WaitMs(env.timing.retry_ms);
      continue;
    }
    WaitMs(env.timing.idle_ms);
  }
}

int RecycleCleaner::UpdateContext() {
  Registry::Entry next;
  if (!env.registry.FindNext(context.entry.sess_id, next)) {
    context = Context();
    return -1;
  }
  context.entry = next;
  return 0;
}

ustring RecycleCleaner::GetRecycleBinDir() const { return context.entry.local_path + RecycleRel(); }

int RecycleCleaner::Rotate() {
  const Registry::Entry& e = context.entry;
  const uint32_t age = age_.load();
  const uint32_t now = Now();
  if (e.recycle_time == 0 || now < e.recycle_time || now - e.recycle_time < age) return 0;
  if (e.event_db == nullptr) return -1;
  const uint32_t cutoff = now - age;
  std::set<ustring> names;
  if (e.event_db->getRotateList(cutoff, names) != 0) {
    RC_LOG_ERROR("Failed to getRotateList.\n");
    return -1;
  }
  SessionFs fs;
  int rc = fs.Open(e.local_path);
  if (rc != 0) {
    // The rows stay: their items are deleted once the folder is back.
    RC_LOG_ERROR("Cannot open the folder '%s' of session %llu: %s\n", e.local_path.c_str_utf8(), ull{e.sess_id},
                 SessionFsErrorString(rc).c_str());
    return -1;
  }
  for (const ustring& name : names) {
    std::string rel(RecycleRel().utf8_view());
    if (name.empty() || name.utf8_view().front() != '/') rel += "/";
    rel += name.utf8_view();
    RC_LOG_DEBUG("Need rotate '%s'.\n", fs.FullPath(ustring(rel)).c_str_utf8());
    rc = fs.RemoveTree(ustring(rel));
    if (rc != 0) {
      RC_LOG_ERROR("Failed to remove file. at '%s': %s\n", fs.FullPath(ustring(rel)).c_str_utf8(),
                   SessionFsErrorString(rc).c_str());
    }
  }
  if (e.event_db->rmRotateRecords(cutoff) != 0) {
    RC_LOG_ERROR("Failed to rmRotateRecords.\n");
    return -1;
  }
  uint32_t oldest = 0;
  if (e.event_db->getOldestRecyleTime(oldest) != 0) {
    RC_LOG_ERROR("Failed to getOldestRecyleTime.\n");
    return -1;
  }
  env.registry.UpdateRecycleTime(e, oldest);
  context.entry.recycle_time = oldest;
  return 0;
}

}  // namespace tidewell
