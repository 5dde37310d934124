#include "events/sync_status_recorder.h"

namespace tidewell {

ustring SyncStatusKey(const ustring& local_root, const ustring& rel_path) {
  std::string key(local_root.utf8_view());
  while (key.size() > 1 && key.back() == '/') key.pop_back();
  std::string_view rel = rel_path.utf8_view();
  if (rel == "/") rel = {};  // the root itself
  if (!rel.empty() && rel.front() != '/' && (key.empty() || key.back() != '/'))
    key += '/';
  if (key == "/" && !rel.empty() && rel.front() == '/') key.clear();
  key += rel;
  return ustring(key);
}

}  // namespace tidewell
