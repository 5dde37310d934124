#include "db/progress_cache.h"

#include "base/log.h"
#include "db/db_log.h"

namespace tidewell {

using ull = unsigned long long;

ProgressCache& ProgressCache::getInstance() {
  static ProgressCache instance;
  return instance;
}

ProgressCache::ProgressCache() { PC_LOG(DEBUG, "ProgressCache constructed.\n"); }

ProgressCache::~ProgressCache() { PC_LOG(DEBUG, "ProgressCache deconstructed.\n"); }

void ProgressCache::addProgressEntry(uint64_t row_id, const ResumeCondition& condition) {
  std::lock_guard<std::mutex> lock(m_mutex);
  cache_list.push_back({row_id, condition});
  PC_LOG(DEBUG,
         "addProgressEntry row_id = '%llu', sess_id = '%llu', sync_id = '%llu', type = '%d', "
         "desc= '%s'.\n",
         ull{row_id}, ull{condition.sess_id}, ull{condition.sync_id}, condition.filter_type,
         condition.filter_desc.c_str_utf8());
}

bool ProgressCache::getProgressEntry(Entry& entry) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (cache_list.empty()) {
    PC_LOG(DEBUG, "cache_list is empty. \n");
    return false;
  }
  entry = cache_list.front();
  return true;
}

bool ProgressCache::getProgressEntryAfter(uint64_t row_id, Entry& entry) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (cache_list.empty()) return false;
  auto it = cache_list.begin();
  while (it != cache_list.end() && it->row_id != row_id) ++it;
  if (it != cache_list.end()) ++it;
  entry = it != cache_list.end() ? *it : cache_list.front();
  return true;
}

void ProgressCache::updateProgressSyncId(uint64_t row_id, uint64_t sync_id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (Entry& e : cache_list) {
    if (e.row_id == row_id) {
      e.condition.sync_id = sync_id;
      PC_LOG(DEBUG, "updateProgressSyncId to %llu for row_id = %llu.\n", ull{sync_id}, ull{row_id});
      return;
    }
  }
}

void ProgressCache::rmProgressEntry(uint64_t row_id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (auto it = cache_list.begin(); it != cache_list.end(); ++it) {
    if (it->row_id == row_id) {
      cache_list.erase(it);
      return;
    }
  }
}

bool ProgressCache::isInProgrssCache(uint64_t sess_id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const Entry& e : cache_list) {
    if (e.condition.sess_id == sess_id) return true;
  }
  return false;
}

}  // namespace tidewell
