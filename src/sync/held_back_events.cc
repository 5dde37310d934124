#include "sync/held_back_events.h"

#include "db/filter_db.h"
#include "events/event.h"
#include "events/event_manager.h"

namespace tidewell {
namespace {

// The local event a filtered-event record stands for. The record keeps
// whether the item existed, not the event's type: an item that exists is
// offered again as created (a folder) or modified (a file), one that was
// removed as removed; the worker looks at the item itself anyway.
Event LocalEventFrom(const FilterLocalEvent& f) {
  Event e;
  const bool dir = f.file_type != 0;
  e.m_type = f.is_exist == 0 ? Event::EV_REMOVE : (dir ? Event::EV_CREATE : Event::EV_MODIFY);
  e.m_mode = dir ? Event::F_DIR : 0;
  e.m_sess_id = f.sess_id;
  e.m_path = f.path;
  e.m_data_size = f.file_size;
  e.m_time = f.file_mod_time;
  e.m_data_hash = f.file_checksum;
  e.m_sync_id = f.sync_id;
  return e;
}

}  // namespace

void OfferHeldBackEvents(const Registry::Entry& entry, const std::set<FilterLocalEvent>& held_back,
                         FilterDB& /*filter_db*/, EventManager& events) {
  for (const FilterLocalEvent& f : held_back) {
    Event e = LocalEventFrom(f);
    e.m_sess_id = entry.sess_id;
    events.PushLocalEvent(e);
  }
}

}  // namespace tidewell
