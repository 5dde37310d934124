// The filter and selective-sync gates of the worker's roads: which events
// are carried out, which are finished without action because a rule keeps
// the item out (and, for local changes a selective-sync rule kept back,
// remembered in the filter database so that loosening the rule replays
// them), and which must wait because the file is locked.
//
// What a selective-sync path rule leaves out and is gone locally -- taken
// away with the rule, or deleted by the user while left out -- is forgotten
// (records and held-back changes): it was not being synchronised, so its
// absence is no removal for the server; once the rule is loosened, the
// resume pull brings back everything the server holds below it.
//
// Lists: the system filter (env.system_filter) first, then the session's
// black list; a session without a black list excludes nothing and one
// without a white list admits every name.

#include <string_view>

#include "base/error_code.h"
#include "db/file_event_db.h"
#include "db/filter_db.h"
#include "db/filter_types.h"
#include "filter/black_list.h"
#include "filter/filter.h"
#include "filter/white_list_cpp.h"
#include "platform/file_lock.h"
#include "session/registry.h"
#include "sync/held_back_events.h"
#include "sync/sync_log.h"
#include "sync/worker.h"

namespace tidewell {

namespace {

using ull = unsigned long long;

// Length of a UTF-8 text in UTF-16 code units, which the path-size rules
// count: one per character, two for one outside the basic plane.
uint64_t Utf16Length(std::string_view utf8) {
  uint64_t n = 0;
  for (unsigned char c : utf8) {
    if ((c & 0xC0) != 0x80) ++n;  // a character starts here
    if (c >= 0xF0) ++n;           // and needs a surrogate pair
  }
  return n;
}

// The part of `path` after its last "/" (all of it when there is none).
ustring FinalName(const ustring& path) {
  std::string_view p = path.utf8_view();
  size_t slash = p.rfind('/');
  return slash == std::string_view::npos ? path : ustring(std::string(p.substr(slash + 1)));
}

bool IsSelectiveSyncPathCode(int code) {
  return code == FILTER_EXT_SELECTIVE_SYNC || code == FILTER_PATH_PREFIX_SELECTIVE_SYNC ||
         code == FILTER_NAME_SELECTIVE_SYNC;
}

}  // namespace

int Worker::TestDirectory(const ustring& path, const ustring& full_path) {
  const uint64_t n = Utf16Length(full_path.utf8_view());
  int rc = env.system_filter.TestFullPathSize(n);
  if (rc == 0) rc = env.system_filter.TestDirectoryPath(path);
  const std::shared_ptr<BlackList2> session = GetBlackList();
  if (rc == 0 && session != nullptr) rc = session->TestFullPathSize(n);
  if (rc == 0 && session != nullptr) rc = session->TestDirectoryPath(path);
  return rc;
}

int Worker::TestFilePath(const ustring& path, const ustring& full_path) {
  const uint64_t n = Utf16Length(full_path.utf8_view());
  int rc = env.system_filter.TestFullPathSize(n);
  if (rc == 0) rc = env.system_filter.TestFilePath(path);
  const std::shared_ptr<BlackList2> session = GetBlackList();
  if (rc == 0 && session != nullptr) rc = session->TestFullPathSize(n);
  if (rc == 0 && session != nullptr) rc = session->TestFilePath(path);
  return rc;
}

int Worker::TestBlackListPath() {
  const ustring path = GetPath();
  if (context.current_event.IsDir()) {
    int rc = TestDirectory(path, GetFullPath());
    if (rc != 0) WK_LOG_DEBUG("TestBlackListPath: Directory '%s' (blocked: %d)\n", path.c_str_utf8(), rc);
    return rc;
  }
  int rc = TestFilePath(path, GetFullPath());
  if (rc != 0) WK_LOG_DEBUG("TestBlackListPath: File '%s' (blocked: %d)\n", path.c_str_utf8(), rc);
  return rc;
}

int Worker::TestWhiteList() {
  const ustring path = GetPath();
  if (path.empty() || path.utf8_view() == "/") return 0;
  const std::shared_ptr<WhiteListCpp> list = GetWhiteList();
  if (list == nullptr) return 0;
  return list->Test(FinalName(path)) != 0 ? -1 : 0;
}

int Worker::TestCommonFilter() {
  if (TestWhiteList() != 0) return FILTER_EXT_SELECTIVE_SYNC;
  return TestBlackListPath();
}

int Worker::TestDownloadRemoteFilter() {
  notify_event_type = NOTIFY_NONE;
  const Event& e = context.current_event;
  const ustring path = GetPath();
  int rc = TestCommonFilter();
  if (rc != 0) {
    WK_LOG_WARNING("Filtered Event: '%s' (blocked: %d)\n", path.c_str_utf8(), rc);
    notify_event_type = NOTIFY_FILTERED;
    return 0;
  }
  if (e.m_sync_id == Event::kForcedSyncId && context.database_record.syncID == 0) {
    WK_LOG_WARNING("Force download '%s' but cannot find any record in event DB. file size filter will NOT work.\n",
                   path.c_str_utf8());
    return 1;
  }
  rc = env.system_filter.TestFileSize(e.m_data_size);
  const std::shared_ptr<BlackList2> session = GetBlackList();
  if (rc == 0 && session != nullptr) rc = session->TestFileSize(e.m_data_size);
  if (rc != 0) {
    WK_LOG_WARNING("Filtered Event: '%s' ((blocked: %d)\n", path.c_str_utf8(), rc);
    notify_event_type = NOTIFY_FILTERED;
    return 0;
  }
  if (context.root_entry.isMSDOS && e.m_data_size >= 0xFFFFFFFFull) {
    WK_LOG_WARNING("Filtered Event: '%s' (file system is not support large file)\n", path.c_str_utf8());
    return 0;
  }
  return 1;
}

int Worker::TestUploadLocalFilter() {
  notify_event_type = NOTIFY_NONE;
  const ustring path = GetPath();
  int rc = TestCommonFilter();
  if (rc != 0) {
    WK_LOG_WARNING("Filtered Event: '%s' (blocked: %d)\n", path.c_str_utf8(), rc);
    if (IsSelectiveSyncPathCode(rc)) AddFilteredEventToDB(context.current_event, rc);
    notify_event_type = NOTIFY_FILTERED;
    return 0;
  }
  if (isFileLocked(GetFullPath(), kAccessRead)) {
    WK_LOG_ERROR("Worker (%d): unable to handle locked/no permission file '%s'.\n", GetId(),
                 GetFullPath().c_str_utf8());
    return ERR_LOCKED_FILE;
  }
  FILE_INFO local;
  rc = StatLocal(path, local, "TestUploadLocalFilter");
  if (rc == 1) return 0;  // behind or itself a symbolic link: never uploaded
  if (rc != 0) {
    WK_LOG_ERROR("Failed to get file status for '%s'.\n", GetFullPath().c_str_utf8());
    return ERR_SYS;
  }
  if (local.isExist) {
    rc = env.system_filter.TestFileSize(local.size);
    if (rc != 0) {
      WK_LOG_WARNING("Filtered Event: '%s' (blocked: %d)\n", path.c_str_utf8(), rc);
      notify_event_type = NOTIFY_FILTERED;
      return 0;
    }
    const std::shared_ptr<BlackList2> session = GetBlackList();
    rc = session != nullptr ? session->TestFileSize(local.size) : 0;
    if (rc != 0) {
      WK_LOG_WARNING("Filtered Event: '%s' (blocked: %d)\n", path.c_str_utf8(), rc);
      if (rc == FILTER_FILE_SIZE_SELECTIVE_SYNC) {
        // Recorded with the size found now; the event may carry none.
        Event e = context.current_event;
        e.m_data_size = local.size;
        e.m_time = local.mtime;
        AddFilteredEventToDB(e, rc);
      }
      notify_event_type = NOTIFY_FILTERED;
      return 0;
    }
  }
  return 1;
}

int Worker::TestRemoveRemoteFilter() {
  notify_event_type = NOTIFY_NONE;
  const ustring path = GetPath();
  int rc = TestCommonFilter();
  if (rc != 0) {
    WK_LOG_WARNING("Filtered Event: '%s' ((blocked: %d)\n", path.c_str_utf8(), rc);
    if (rc == FILTER_PATH_PREFIX_SELECTIVE_SYNC) {
      // Left out by a path rule, the item was not being synchronised: its
      // local removal is none for the server, now or once the rule goes.
      FILE_INFO local;
      if (fs.Stat(path, local) == 0 && !local.isExist) {
        if (ForgetExcludedItem(context.root_entry.sess_id, path, GetEventDatabase().get(), env.filter_db) != 0) {
          return ERR_SYS;
        }
        context.database_record.Clear();
      }
    } else if (IsSelectiveSyncPathCode(rc)) {
      AddFilteredEventToDB(context.current_event, rc);
    }
    notify_event_type = NOTIFY_FILTERED;
    return 0;
  }
  const ClientFileEventInfo& base = context.database_record;
  if (base.syncID != 0 && base.fileType == 0) {
    FilterLocalEvent kept;
    const uint64_t sess = context.root_entry.sess_id;
    if (env.filter_db.getLocalFilteredEventByPath(sess, path, kept) == 1) {
      // The file was only kept out of sync here, never deleted on the
      // server's side: its removal must not reach the server.
      WK_LOG_WARNING("Filtered Event: '%s' ((blocked: %d)\n", path.c_str_utf8(), kept.filtered_type);
      FilterLocalEvent now;
      ConvertToFilteredEvent(context.current_event, 0, now);
      if (env.filter_db.setLocalFilteredEvent(now) != 0) {
        WK_LOG_ERROR("Failed to setLocalFilteredEvent for session '%llu', path '%s' .\n", ull{sess},
                     path.c_str_utf8());
        return -1;
      }
      notify_event_type = NOTIFY_FILTERED;
      return 0;
    }
    const std::shared_ptr<BlackList2> session = GetBlackList();
    rc = session != nullptr ? session->TestFileSize(base.fileSize) : 0;
    if (rc != 0) {
      WK_LOG_WARNING("Filtered Event: '%s' ((blocked: %d)\n", path.c_str_utf8(), rc);
      if (rc == FILTER_FILE_SIZE_SELECTIVE_SYNC) AddFilteredEventToDB(context.current_event, rc);
      notify_event_type = NOTIFY_FILTERED;
      return 0;
    }
  }
  return 1;
}

int Worker::TestRemoveLocalFilter() {
  notify_event_type = NOTIFY_NONE;
  int rc = TestCommonFilter();
  if (rc != 0) {
    WK_LOG_WARNING("Filtered Event: '%s' (blocked: %d)\n", GetPath().c_str_utf8(), rc);
    notify_event_type = NOTIFY_FILTERED;
    return 0;
  }
  return 1;
}

int Worker::AddFilteredEventToDB(const Event& e, int filter_type) {
  // What the server changed comes back by the resume pull; only local
  // changes need remembering.
  if (e.IsServerEvent()) return 0;
  FilterLocalEvent out;
  ConvertToFilteredEvent(e, filter_type, out);
  if (env.filter_db.setLocalFilteredEvent(out) != 0) {
    WK_LOG_ERROR("Failed to setLocalFilteredEvent for session '%llu', path '%s' .\n", ull{e.m_sess_id},
                 e.m_path.c_str_utf8());
  }
  return 0;
}

void Worker::ConvertToFilteredEvent(const Event& e, int filter_type, FilterLocalEvent& out) {
  if (WK_DEBUG_ENABLED()) WK_LOG_DEBUG("ConvertToFilteredEvent: event = %s\n", e.toString().c_str_utf8());
  out = FilterLocalEvent();
  out.sess_id = e.m_sess_id;
  out.path = e.m_path;
  out.event_type = e.m_type;
  out.file_size = e.m_data_size;
  out.file_mod_time = e.m_time;
  out.file_checksum = e.m_data_hash;
  out.file_type = e.IsDir() ? 1 : 0;
  out.filtered_type = filter_type;
  out.is_exist = e.m_type == Event::EV_REMOVE ? 0 : 1;
  if (e.IsFile()) out.base_name = FinalName(e.m_path);
}

int Worker::TestFilteredDeleteEvent(uint64_t sess_id, const ustring& path, bool is_dir) {
  std::shared_ptr<BlackList2> list = GetBlackList();
  std::shared_ptr<FileEventDB> db = GetEventDatabase();
  if (sess_id != context.root_entry.sess_id) {
    Registry::Entry entry;
    if (env.registry.Find(sess_id, entry) != 1) return 0;
    list = entry.black_list;
    db = entry.event_db;
  }
  if (list == nullptr) return 0;
  const int rc = is_dir ? list->TestDirectoryPath(path) : list->TestFilePath(path);
  if (rc != FILTER_PATH_PREFIX_SELECTIVE_SYNC) return 0;
  // Known only to the database and left out by a path rule: not removed on
  // the server, and not remembered as a removal either.
  (void)ForgetExcludedItem(sess_id, path, db.get(), env.filter_db);
  WK_LOG_DEBUG("TestFilteredDeleteEvent: filter '%s' (blocked: %d)\n", path.c_str_utf8(), rc);
  return 1;
}

}  // namespace tidewell
