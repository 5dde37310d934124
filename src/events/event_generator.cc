#include "events/event_generator.h"

#include "base/log.h"
#include "db/file_event_db.h"
#include "db/filter_types.h"
#include "net/pobject.h"
#include "platform/file_stat.h"

namespace tidewell {
namespace {

const ustring& Comp() {
  static const ustring component("worker_debug");
  return component;
}

Event ItemEvent(const Registry::Entry& entry, Event::Type type, const ustring& path,
                bool is_dir, bool server) {
  Event e;
  e.m_type = type;
  e.m_sess_id = entry.sess_id;
  e.m_path = path;
  e.m_mode = (is_dir ? Event::F_DIR : 0) | (server ? Event::F_SERVER : 0);
  return e;
}

// 1 when the database records the item, 0 when not, negative on error.
int Lookup(const Registry::Entry& entry, const ustring& path, ClientFileEventInfo& info) {
  if (entry.event_db == nullptr) return -1;
  int r = entry.event_db->getEventInfo(path, info);
  return r == 1 ? 1 : (r == 0 ? 0 : -1);
}

}  // namespace

bool IsCleanSessionPath(const ustring& path) {
  std::string_view p = path.utf8_view();
  if (p.empty() || p.front() != '/' || p.find('\0') != std::string_view::npos) return false;
  size_t pos = 0;
  while (pos < p.size()) {
    size_t end = p.find('/', pos);
    if (end == std::string_view::npos) end = p.size();
    std::string_view comp = p.substr(pos, end - pos);
    if (comp == "." || comp == "..") return false;
    pos = end + 1;
  }
  return true;
}

int PushEvent(Registry::Entry& entry, const PObject& obj, EventManager& manager) {
  Event e;
  e.m_sess_id = entry.sess_id;
  e.m_mode = Event::F_SERVER | (obj["is_dir"].asBool() ? Event::F_DIR : 0);
  e.m_type = obj["is_removed"].asBool() ? Event::EV_REMOVE : Event::EV_CREATE;
  e.m_path = obj["path"].asString();
  e.m_sync_id = obj["sync_id"].asUInt64();
  e.m_max_id = obj.hasMember("max_id") ? obj["max_id"].asUInt64() : e.m_sync_id;
  if (obj.hasMember("file")) {
    e.m_data_hash = obj["file"]["hash"].asString();
    e.m_data_size = obj["file"]["size"].asUInt64();
  }
  if (obj.hasMember("common_attribute")) e.m_time = obj["common_attribute"]["mtime"].asUInt32();
  // The newer form; a time that only refers to the stored one adds nothing.
  const PObject& mtime = obj["mtime"];
  if (mtime.isMap() && mtime.hasMember("mtime") && !mtime["refer"].asBool())
    e.m_time = mtime["mtime"].asUInt32();
  if (obj.hasMember("mac_attribute")) {
    e.m_mac_attr_hash = obj["mac_attribute"]["hash"].asString();
    e.m_mac_attr_size = obj["mac_attribute"]["size"].asUInt64();
  }
  const PObject& exec = obj["exec_bit"];
  if (exec.isMap())
    e.m_exec_bit = exec["exec_bit"].asUInt32();
  else if (exec.isInteger())
    e.m_exec_bit = exec.asUInt32();

  if (!IsCleanSessionPath(e.m_path)) {
    TW_LOG_WARNING(Comp(), "event-generator", "Server event with unusable path [%s] dropped.\n",
                   e.m_path.c_str_utf8());
    return 0;
  }

  ClientFileEventInfo info;
  int found = Lookup(entry, e.m_path, info);
  if (found == 0 && e.m_type == Event::EV_REMOVE) {
    TW_LOG_INFO(Comp(), "event-generator",
                "Server delete event [%s] and cannot find db record (server echo).\n",
                e.m_path.c_str_utf8());
    return 0;
  }
  if (found == 1 && info.syncID >= e.m_sync_id) {
    ustring local = e.m_path == ustring("/") ? entry.local_path : entry.local_path + e.m_path;
    _FILE_INFO_tag st;
    if (FSStat(local, st, false) == 0 && st.isExist) {
      TW_LOG_INFO(Comp(), "event-generator", "File [%s] is already up-to-date (server echo).\n",
                  e.m_path.c_str_utf8());
      return 0;
    }
  }
  manager.PushServerEvent(e);
  return 1;
}

int PushUploadEvent(Registry::Entry& entry, const ustring& path, bool is_dir,
                    EventManager& manager) {
  manager.PushLocalEvent(ItemEvent(entry, Event::EV_MODIFY, path, is_dir, false));
  return 1;
}

int PushLocalRemoveEvent(Registry::Entry& entry, const ustring& path, bool is_dir,
                         EventManager& manager) {
  manager.PushLocalEvent(ItemEvent(entry, Event::EV_REMOVE, path, is_dir, false));
  return 1;
}

int PushServerRemoveEvent(Registry::Entry& entry, const ustring& path, bool is_dir,
                          uint64_t sync_id, uint64_t max_id, EventManager& manager) {
  Event e = ItemEvent(entry, Event::EV_REMOVE, path, is_dir, true);
  e.m_sync_id = sync_id;
  e.m_max_id = max_id;
  manager.PushServerEvent(e);
  return 1;
}

int PushDownloadEvent(Registry::Entry& entry, const ustring& path, bool is_dir,
                      EventManager& manager) {
  Event e = ItemEvent(entry, Event::EV_MODIFY, path, is_dir, true);
  e.m_sync_id = Event::kForcedSyncId;
  e.m_max_id = Event::kForcedSyncId;
  ClientFileEventInfo info;
  if (Lookup(entry, path, info) == 1) {
    e.m_time = info.fileModTime;
    e.m_data_size = info.fileSize;
    e.m_data_hash = info.fileCheckSum;
    e.m_mac_attr_hash = info.macHash;
    e.m_exec_bit = info.execBit;
  } else {
    TW_LOG_WARNING(Comp(), "event-generator", "force download event (%s) missing required info\n",
                   path.c_str_utf8());
  }
  manager.PushServerEvent(e);
  return 1;
}

void PushEvent(Registry::Entry& entry, const FilterLocalEvent& filtered, EventManager& manager) {
  bool is_dir = filtered.file_type != 0;
  if (filtered.is_exist != 0)
    PushUploadEvent(entry, filtered.path, is_dir, manager);
  else
    PushDownloadEvent(entry, filtered.path, is_dir, manager);
}

}  // namespace tidewell
