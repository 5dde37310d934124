#include "base/critical_section.h"

#include "base/log.h"

namespace tidewell {

void CriticalSection::start() {
  if (in_lock) return;
  if (lock_mutex) lock_mutex->lock();
  in_lock = true;
  TW_LOG_DEBUG("utility_debug", "utility", "entering critical section\n");
}

void CriticalSection::end() {
  if (!in_lock) return;
  TW_LOG_DEBUG("utility_debug", "utility", "leaving critical section\n");
  if (lock_mutex) lock_mutex->unlock();
  in_lock = false;
}

int CriticalSection::lock(std::mutex* mutex) {
  if (mutex == nullptr) return -1;
  mutex->lock();
  return 0;
}

int CriticalSection::unlock(std::mutex* mutex) {
  if (mutex == nullptr) return -1;
  mutex->unlock();
  return 0;
}

int CriticalSection::lock(int) { return -1; }

int CriticalSection::unlock(int) { return -1; }

}  // namespace tidewell
