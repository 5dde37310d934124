// Offering again the local changes that selective-sync rules held back
// (the filter database's filtered local events), once a session's rules
// were read again: what the rules now admit reaches the server.
//
// Thread-safety: may be called from any thread; the databases and the
// event queue lock themselves.

#ifndef TIDEWELL_SYNC_HELD_BACK_EVENTS_H_
#define TIDEWELL_SYNC_HELD_BACK_EVENTS_H_

#include <set>

#include "db/filter_types.h"
#include "session/registry.h"

namespace tidewell {

class EventManager;
class FilterDB;

// Queues, for the session `entry`, the local event each held-back record of
// `held_back` (the session's records, as FilterDB::dumpLocalFilteredEvent
// returns them) stands for, in path order. The workers' gates judge them
// afresh: what a rule still keeps out is held back again.
void OfferHeldBackEvents(const Registry::Entry& entry, const std::set<FilterLocalEvent>& held_back,
                         FilterDB& filter_db, EventManager& events);

}  // namespace tidewell

#endif  // TIDEWELL_SYNC_HELD_BACK_EVENTS_H_
