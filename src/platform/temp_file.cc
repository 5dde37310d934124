#include "platform/temp_file.h"

#include <mutex>

#include "base/log.h"
#include "platform/file_remove.h"
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

TempFile::TempFile(const ustring& prefix)
    : tmp_prefix(prefix.empty() ? DefaultPrefix() : prefix), ref(std::make_shared<int>(0)) {}

TempFile::TempFile(const TempFile& other)
    : tmp_prefix(other.tmp_prefix), path(other.path), permanent(other.permanent) {
  if (!path.empty() && *other.ref > 0) {
    ref = other.ref;
    ++*ref;
  } else {
    ref = std::make_shared<int>(0);
  }
}

TempFile& TempFile::operator=(const TempFile& other) {
  if (this == &other) return *this;
  std::shared_ptr<int> other_ref = other.ref;  // `other` may share our count
  Release();
  tmp_prefix = other.tmp_prefix;
  path = other.path;
  permanent = other.permanent;
  if (!path.empty() && *other_ref > 0) {
    ref = other_ref;
    ++*ref;
  }
  return *this;
}

TempFile::~TempFile() { Drop(); }

void TempFile::initialize(const ustring& prefix) {
  std::lock_guard<std::mutex> lock(g_default_mutex);
  DefaultPrefixLocked() = prefix;
}

void TempFile::Drop() {
  if (*ref >= 2) {
    --*ref;
  } else if (*ref == 1) {
    if (!permanent) (void)FSRemove(path, false);
    *ref = 0;
  }
}

void TempFile::Release() {
  Drop();
  ref = std::make_shared<int>(0);
  path.clear();
}

int TempFile::create() {
  if (*ref != 0) return -1;
  ustring created;
  if (FSMktemp(tmp_prefix, created) != 0) {
    TW_LOG_ERROR("utility_debug", "utility", "failed to create TempFile ...\n");
    return -1;
  }
  path = created;
  ref = std::make_shared<int>(1);
  TW_LOG_DEBUG("utility_debug", "utility", "creating TempFile '%s'\n", path.c_str_utf8());
  return 0;
}

int TempFile::remove() {
  TW_LOG_DEBUG("utility_debug", "utility", "removing TempFile '%s'\n", path.c_str_utf8());
  int r = FSRemove(path, false);
  *ref = 0;
  ref = std::make_shared<int>(0);
  path.clear();
  return r;
}

}  // namespace tidewell
