// "add_session": registering a session and preparing its folders, lists and
// databases; the selective-sync comparison that registration and reloading
// share.

#include <memory>

#include "daemon/daemon_log.h"
#include "daemon/request_keys.h"
#include "daemon/tidewell.h"
#include "db/file_event_db.h"
#include "db/filter_db.h"
#include "db/progress_cache.h"
#include "db/selective_sync.h"
#include "events/event_manager.h"
#include "filter/black_list.h"
#include "filter/filter.h"
#include "filter/sync_folder.h"
#include "filter/white_list_cpp.h"
#include "platform/dir_list.h"
#include "platform/dir_make.h"
#include "platform/file_remove.h"
#include "platform/file_stat.h"
#include "platform/fs_volume.h"
#include "session/registry.h"
#include "sync/detector.h"

namespace tidewell {
namespace {

using ull = unsigned long long;

ustring WorkingDirectory(const ustring& local) { return local + "/" + Detector::kWorkingDirectory; }

bool IsDirectory(const ustring& path) {
  FILE_INFO info;
  return FSStat(path, info, false) == 0 && info.isExist && info.type == FT_DIR;
}

// True when the folder lists anything besides "." and "..".
bool HoldsAnything(const ustring& dir) {
  DIR_HANDLE dh;
  FSOpenDir(dir, 0, dh);
  DIR_ENTRY entry;
  while (FSReadDir(dh, entry) == 1) {
    if (entry.name != ustring(".") && entry.name != ustring("..")) return true;
  }
  return false;
}

// Frees a Filter record on every road out.
struct FilterRecord {
  FilterRecord() { filter_init(&filter); }
  ~FilterRecord() { filter_destroy(&filter); }
  FilterRecord(const FilterRecord&) = delete;
  FilterRecord& operator=(const FilterRecord&) = delete;
  Filter filter;
};

}  // namespace

void Tidewell::add_session(const PObject& request, PObject& reply) {
  bool complete = true;
  for (const char* key : {"connection_id", "session_id", "view_id", "config_path", "sync_folder"}) {
    if (!HasKey(request, key)) complete = false;
  }
  if (!complete || !IntegersIfPresent(request, {"session_id", "view_id", "node_id", "create_time"}) ||
      !StringsIfPresent(request, {"config_path", "sync_folder", "remote_path"})) {
    APP_LOG_ERR("Invalid parameters.\n");
    reply["error"] = "Invalid parameters.";
    return;
  }
  Session session;
  session.sess_id = request["session_id"].asUInt64();
  session.view_id = request["view_id"].asUInt64();
  session.config_path = request["config_path"].asString();
  session.local_path = request["sync_folder"].asString();
  session.node_id = HasKey(request, "node_id") ? request["node_id"].asUInt64() : session.view_id;
  session.recursive = HasKey(request, "recursive") ? request["recursive"].asBool() : true;
  session.remote_path = request["remote_path"].asString();
  session.create_time = request["create_time"].asUInt32();
  bool merge = HasKey(request, "sync_mode") ? !request["sync_mode"].asBool() : true;

  APP_LOG_INFO("rescan syncfolder for session '%llu' do_merge[%d].\n", static_cast<ull>(session.sess_id),
               merge ? 1 : 0);
  if (create_registry_entry(session, merge) < 0) {
    APP_LOG_WARN("session %llu is not added, failed to create registry entry\n", static_cast<ull>(session.sess_id));
    reply["error"] = "Failed to create registry entry.";
  }
}

int Tidewell::create_session_environment(const Session& session) {
  const ustring& local = session.local_path;
  const ustring& config = session.config_path;
  if (!IsValidSyncFolder(local)) {
    APP_LOG_ERR("local watch folder (%s) is not a directory\n", local.c_str_utf8());
    return -1;
  }
  if (!IsDirectory(config)) {
    APP_LOG_ERR("local config folder (%s) is not a directory\n", config.c_str_utf8());
    return -1;
  }
  if (FSMKDir(config + "/db/sign", true) != 0) return -1;
  ustring working = WorkingDirectory(local);
  ustring recycle = working + "/" + Detector::kRecycleBin;
  // The working folder starts empty at every registration. What the recycle
  // folder still holds was removed on the server less than half an hour
  // ago; it goes to the user's trash rather than being destroyed.
  if (IsDirectory(recycle) && HoldsAnything(recycle) && FSRemove(recycle, true) != 0) {
    APP_LOG_ERR("Failed to move the old recycle folder %s to the trash\n", recycle.c_str_utf8());
    return -1;
  }
  if (FSRemove(working, false) != 0) return -1;
  if (FSMKDir(working, true) != 0) return -1;
  if (FSMKDir(recycle, false) != 0) {
    APP_LOG_ERR("Failed to create recycle bin directory.\n");
    return -1;
  }
  return 0;
}

int Tidewell::create_registry_entry(const Session& session, bool merge) {
  const ull id = session.sess_id;
  Registry& registry = Registry::getInstance();
  Registry::Entry existing;
  if (registry.Find(session.sess_id, existing) == 1) {
    // Registering again would empty the working folder under the session's
    // running transfers and replace the objects its tasks use.
    APP_LOG_ERR("session %llu is already registered\n", id);
    return -1;
  }
  Detector* watcher = detector();
  if (watcher == nullptr) {
    APP_LOG_ERR("the daemon is not linked, no change detector can watch session %llu\n", id);
    return -1;
  }
  auto event_db = std::make_shared<FileEventDB>();
  auto black_list = std::make_shared<BlackList2>();
  auto white_list = std::make_shared<WhiteListCpp>();
  const ustring conf = session.config_path + "/conf";

  if (create_session_environment(session) != 0) {
    APP_LOG_ERR("Failed to initiailize session environment for sesion %llu\n", id);
    return -1;
  }
  APP_LOG_DEBUG("session environment of session %llu is done\n", id);
  if (event_db->initialize(session.config_path + "/db" + "/event-db.sqlite") != 0) {
    APP_LOG_ERR("Failed to initiailize event database for session %llu\n", id);
    return -1;
  }
  if (event_db->resetRecycleBin() != 0) {
    APP_LOG_ERR("Failed to resetRecycleBin table for session %llu\n", id);
    return -1;
  }
  if (black_list->Load(conf + "/blacklist.filter") != 0) {
    APP_LOG_ERR("Failed to load black list filter for session %llu\n", id);
    return -1;
  }
  if (white_list->Load(conf + "/whitelist.filter") != 0) {
    APP_LOG_ERR("Failed to load white list filter for session %llu\n", id);
    return -1;
  }

  Registry::Entry entry;
  entry.sess_id = session.sess_id;
  entry.view_id = session.view_id;
  entry.node_id = session.node_id;
  entry.recursive = session.recursive;
  entry.local_path = session.local_path;
  entry.remote_path = session.remote_path;
  entry.config_path = session.config_path;
  entry.isMSDOS = IsMSDOS(session.local_path);
  entry.recycle_time = 0;
  // Every new session starts paused and syncs only after "resume".
  entry.pause = true;
  entry.black_list = black_list;
  entry.white_list = white_list;
  entry.event_db = event_db;
  // The entry goes in before the watch starts, so that the first notices
  // find their session.
  registry.Set(entry);
  if (watcher->AddWatch(session.local_path, session.sess_id) != 0) {
    APP_LOG_ERR("Failed to add watch for session %llu at '%s'\n", id, session.local_path.c_str_utf8());
    registry.Clear(session.sess_id);
    return -1;
  }

  // Registered: from here on failures are logged and end the preparation.
  uint64_t sync_id = 0;
  if (event_db->getSyncId(sync_id) != 0) {
    APP_LOG_ERR("Failed to get sync_id for session %llu\n", id);
  } else {
    APP_LOG_DEBUG("reload_filter for session '%llu', current sync_id [%llu]\n", id, static_cast<ull>(sync_id));
    if (reload_filter(session.sess_id, sync_id, conf + "/blacklist.filter", session.local_path) != 0) {
      APP_LOG_ERR("failed to reload_filter for session '%llu'.\n", id);
    } else if (load_resume_condition(session.sess_id) != 0) {
      APP_LOG_ERR("Failed to load_resume_condition for session '%llu'.\n", id);
    }
  }
  EventManager::getInstance().IssueRescan(session.sess_id, "/", merge);
  APP_LOG_INFO("Folder '%s' is ready (with view %llu at %s)\n", session.local_path.c_str_utf8(),
               static_cast<ull>(session.view_id), session.remote_path.c_str_utf8());
  return 0;
}

int Tidewell::reload_filter(uint64_t sess_id, uint64_t sync_id, const ustring& rule_file,
                            const ustring& local_path) {
  // The records of a folder a new path rule takes away go with it.
  Registry::Entry entry;
  FileEventDB* event_db = Registry::getInstance().Find(sess_id, entry) == 1 ? entry.event_db.get() : nullptr;
  FilterRecord rules;
  if (filter_read(&rules.filter, rule_file.c_str_utf8()) != 0) {
    APP_LOG_ERR("Failed to read filter [%s]\n", rule_file.c_str_utf8());
    return -1;
  }
  SelectiveSyncInfo from_file;
  ConvertFilterFileToSelectiveSyncInfo(sess_id, sync_id, rules.filter, from_file);
  SelectiveSyncInfo stored;
  if (FilterDB::getInstance().ConvertFilterDBToSelectiveSyncInfo(sess_id, stored) != 0) {
    APP_LOG_ERR("Failed to convert from filter DB.\n");
    return -1;
  }
  if (CompareFilterList(sess_id, FILTER_PATH_PREFIX_SELECTIVE_SYNC, stored.black_prefix, from_file.black_prefix,
                        local_path, event_db) != 0) {
    APP_LOG_ERR("Failed to CompareFilterList for PATH_PREFIX.\n");
    return -1;
  }
  if (CompareFilterList(sess_id, FILTER_NAME_SELECTIVE_SYNC, stored.black_name, from_file.black_name, local_path,
                        event_db) != 0) {
    APP_LOG_ERR("Failed to CompareFilterList for BLACK_NAME.\n");
    return -1;
  }
  if (CompareFilterList(sess_id, FILTER_EXT_SELECTIVE_SYNC, stored.black_ext, from_file.black_ext, local_path,
                        event_db) != 0) {
    APP_LOG_ERR("Failed to CompareFilterList for BLACK_EXTENSION.\n");
    return -1;
  }
  if (CompareSizeFilter(sess_id, stored.black_size, from_file.black_size) != 0) {
    APP_LOG_ERR("Failed to CompareSizeFilter.\n");
    return -1;
  }
  return 0;
}

int Tidewell::load_resume_condition(uint64_t sess_id) {
  std::list<std::pair<uint64_t, ResumeCondition>> conditions;
  if (FilterDB::getInstance().getResumeConditionsBySession(sess_id, conditions) != 0) {
    APP_LOG_ERR("Failed to get resume condition for session '%llu'\n", static_cast<ull>(sess_id));
    return -1;
  }
  for (const auto& [row_id, condition] : conditions) {
    APP_LOG_INFO("Add row_id '%llu' to progress_cache.\n", static_cast<ull>(row_id));
    ProgressCache::getInstance().addProgressEntry(row_id, condition);
  }
  return 0;
}

}  // namespace tidewell
