// "reload_session": a paused session's rule files read again.

#include <set>

#include "daemon/daemon_log.h"
#include "daemon/request_keys.h"
#include "daemon/tidewell.h"
#include "db/file_event_db.h"
#include "db/filter_db.h"
#include "events/event_manager.h"
#include "filter/black_list.h"
#include "filter/white_list_cpp.h"
#include "session/registry.h"
#include "sync/held_back_events.h"

namespace tidewell {
namespace {

using ull = unsigned long long;

}  // namespace

void Tidewell::reload_session(const PObject& request, PObject& reply) {
  if (!HasKey(request, "session_id") || !IntegersIfPresent(request, {"session_id"})) {
    APP_LOG_ERR("Invalid parameter\n.");
    reply["error"] = "Invalid parameter";
    return;
  }
  const uint64_t sess_id = request["session_id"].asUInt64();
  const ull id = sess_id;
  Registry::Entry entry;
  if (Registry::getInstance().Find(sess_id, entry) != 1) {
    APP_LOG_ERR("invalid session %llu, stop reload\n", id);
    reply["error"] = "Invalid session.";
    return;
  }
  if (!entry.pause) {
    APP_LOG_ERR("reload session %llu without pause, stop reload\n", id);
    reply["error"] = "Reload session without puase";
    return;
  }
  const ustring conf = entry.config_path + "/conf";
  // A rule file that cannot be read leaves the rules in force as they are:
  // a list that failed to load would exclude nothing (black) or admit
  // nothing (white), so a typo would start transfers of everything the user
  // had left out.
  BlackList2 black_probe;
  if (black_probe.Load(conf + "/blacklist.filter") != 0 || entry.black_list->Load(conf + "/blacklist.filter") != 0) {
    APP_LOG_ERR("failed to reload black list filter for sesion %llu\n", id);
    reply["error"] = "Failed to load black list.";
  }
  WhiteListCpp white_probe;
  if (white_probe.Load(conf + "/whitelist.filter") != 0 || entry.white_list->Load(conf + "/whitelist.filter") != 0) {
    APP_LOG_ERR("failed to reload white klist filter for sesion %llu\n", id);
    reply["error"] = "Failed to load white list.";
  }
  uint64_t sync_id = 0;
  if (entry.event_db->getSyncId(sync_id) != 0) {
    APP_LOG_ERR("Failed to get sync_id for session %llu\n", id);
    reply["error"] = "Failed to get current sync_id.";
    return;
  }
  APP_LOG_INFO("Reload session (%llu), current sync_id [%llu]\n", id, static_cast<ull>(sync_id));
  if (reload_filter(sess_id, sync_id, conf + "/blacklist.filter", entry.local_path) != 0) {
    APP_LOG_ERR("failed to reload_filter for sess (%llu)\n", id);
    reply["error"] = "Failed to reload filter.";
    return;
  }
  reload_local_events(entry);
}

void Tidewell::reload_local_events(const Registry::Entry& entry) {
  const ull id = entry.sess_id;
  APP_LOG_INFO("reload local filtered events from database for session '%llu'\n", id);
  std::set<FilterLocalEvent> held_back;
  if (FilterDB::getInstance().dumpLocalFilteredEvent(entry.sess_id, held_back) != 0) {
    APP_LOG_WARN("failed to dump resume items for session '%llu'... \n", id);
    return;
  }
  OfferHeldBackEvents(entry, held_back, FilterDB::getInstance(), EventManager::getInstance());
}

}  // namespace tidewell
