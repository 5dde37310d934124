#include "platform/sf_file.h"

#include <mutex>

#include "base/log.h"
#include "platform/file_remove.h"
#include "platform/file_stat.h"
#include "platform/temp_path.h"

namespace tidewell {

namespace {

std::mutex g_default_mutex;
ustring& DefaultPrefixLocked() {
  static ustring prefix("/tmp");
  return prefix;
}

ustring DefaultPrefix() {
  std::lock_guard<std::mutex> lock(g_default_mutex);
  return DefaultPrefixLocked();
}

}  // namespace

SFFile::SFFile(const ustring& prefix) : m_prefix(prefix.empty() ? DefaultPrefix() : prefix) {}

void SFFile::initialize(const ustring& prefix) {
  std::lock_guard<std::mutex> lock(g_default_mutex);
  DefaultPrefixLocked() = prefix;
}

int SFFile::create() {
  if (!m_path.empty()) {
    TW_LOG_DEBUG("utility_debug", "utility", "use exist file\n");
    return 0;
  }
  if (FSMktemp(m_prefix, m_path) != 0) {
    TW_LOG_ERROR("utility_debug", "utility", "failed to create File ...\n");
    return -1;
  }
  return 0;
}

int SFFile::remove() {
  TW_LOG_DEBUG("utility_debug", "utility", "removing File '%s'\n", m_path.c_str_utf8());
  int r = FSRemove(m_path, false);
  m_path.clear();
  return r;
}

int64_t SFFile::getSize() const {
  _FILE_INFO_tag info;
  if (FSStat(m_path, info, false) != 0 || !info.isExist) return -1;
  return static_cast<int64_t>(info.size);
}

}  // namespace tidewell
