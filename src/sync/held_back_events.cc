#include "sync/held_back_events.h"

#include <string>
#include <string_view>

#include "db/file_event_db.h"
#include "db/file_event_info.h"
#include "db/filter_db.h"
#include "events/event.h"
#include "events/event_generator.h"
#include "events/event_manager.h"
#include "platform/session_fs.h"
#include "sync/sync_log.h"

namespace tidewell {
namespace {

using ull = unsigned long long;

// The local change a record of an existing item stands for: created (a
// folder) or modified (a file); the worker looks at the item itself anyway.
Event LocalChange(uint64_t sess_id, const FilterLocalEvent& f, bool dir) {
  Event e;
  e.m_type = dir ? Event::EV_CREATE : Event::EV_MODIFY;
  e.m_mode = dir ? Event::F_DIR : 0;
  e.m_sess_id = sess_id;
  e.m_path = f.path;
  e.m_data_size = f.file_size;
  e.m_time = f.file_mod_time;
  e.m_data_hash = f.file_checksum;
  e.m_sync_id = f.sync_id;
  return e;
}

bool IsBelow(std::string_view path, std::string_view dir) {
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/';
}

}  // namespace

int ForgetExcludedItem(uint64_t sess_id, const ustring& path, FileEventDB* event_db, FilterDB& filter_db) {
  if (event_db == nullptr || event_db->rmEventInfoV3(path) != 0) {
    WK_LOG_ERROR("Failed to forget the records of '%s' left out of session '%llu'.\n", path.c_str_utf8(),
                 ull{sess_id});
    return -1;
  }
  if (filter_db.rmLocalFilteredEventByPath(sess_id, path) != 0) {
    WK_LOG_ERROR("Failed to rmLocalFilteredEventByPath for session '%llu', path '%s' .\n", ull{sess_id},
                 path.c_str_utf8());
    return -1;
  }
  WK_LOG_INFO("Forgot '%s' (and what lies below it): left out by a selective-sync path rule\n", path.c_str_utf8());
  return 0;
}

void OfferHeldBackEvents(const Registry::Entry& entry, const std::set<FilterLocalEvent>& held_back,
                         FilterDB& filter_db, EventManager& events) {
  const ull sess = entry.sess_id;
  SessionFs fs;
  const bool can_look = fs.Open(entry.local_path) == 0;
  Registry::Entry session = entry;
  std::string forgotten;  // the last folder forgotten; the records below it are gone
  for (const FilterLocalEvent& f : held_back) {
    const std::string_view path = f.path.utf8_view();
    if (!forgotten.empty() && IsBelow(path, forgotten)) continue;
    if (f.is_exist != 0) {
      events.PushLocalEvent(LocalChange(entry.sess_id, f, f.file_type != 0));
      continue;
    }
    FILE_INFO local;
    const int rc = can_look ? fs.Stat(f.path, local) : -1;
    if (rc != 0) {
      WK_LOG_WARNING("Held-back removal of '%s' in session %llu kept for later: its item cannot be looked at\n",
                     f.path.c_str_utf8(), sess);
      continue;
    }
    if (local.isExist) {
      events.PushLocalEvent(LocalChange(entry.sess_id, f, local.type == FT_DIR));
      continue;
    }
    ClientFileEventInfo record;
    const int known = entry.event_db != nullptr ? entry.event_db->getEventInfo(f.path, record) : -1;
    if (f.file_type != 0 || (known == 1 && record.fileType != 0)) {
      if (ForgetExcludedItem(entry.sess_id, f.path, entry.event_db.get(), filter_db) != 0) continue;
      forgotten = std::string(path);
      continue;
    }
    if (known == 1) {
      WK_LOG_INFO("File '%s' of session %llu removed while left out: the server's copy is fetched again\n",
                  f.path.c_str_utf8(), sess);
      PushDownloadEvent(session, f.path, false, events);
      continue;
    }
    if (filter_db.rmLocalFilteredEventByPath(entry.sess_id, f.path) != 0) {
      WK_LOG_ERROR("Failed to rmLocalFilteredEventByPath for session '%llu', path '%s' .\n", sess,
                   f.path.c_str_utf8());
    }
  }
}

}  // namespace tidewell
