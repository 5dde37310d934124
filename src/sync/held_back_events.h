// Offering again the local changes that selective-sync rules held back
// (the filter database's filtered local events), once a session's rules
// were read again: what the rules now admit reaches the server.
//
// A held-back removal -- an item that went away locally while a rule kept
// it out of sync -- is never offered as a removal: the item was not being
// synchronised, so the server and the other clients keep it, and it comes
// back here once no rule keeps it out.
//
// Thread-safety: may be called from any thread; the databases and the
// event queue lock themselves.

#ifndef TIDEWELL_SYNC_HELD_BACK_EVENTS_H_
#define TIDEWELL_SYNC_HELD_BACK_EVENTS_H_

#include <cstdint>
#include <set>

#include "base/ustring.h"
#include "db/filter_types.h"
#include "session/registry.h"

namespace tidewell {

class EventManager;
class FileEventDB;
class FilterDB;

// Forgets an item that a selective-sync path rule leaves out and that is
// gone locally: deletes the records of `path` and below from `event_db`,
// then the session's held-back changes there. It was not being
// synchronised, so its absence is no removal for the server. 0, or -1
// (logged) when either failed; the held-back changes stay when the records
// could not be deleted, so that the item is looked at again.
int ForgetExcludedItem(uint64_t sess_id, const ustring& path, FileEventDB* event_db, FilterDB& filter_db);

// Goes through the held-back records of `held_back` (the session's, as
// FilterDB::dumpLocalFilteredEvent returns them) in path order, for the
// session `entry` whose held-back changes `filter_db` keeps:
//  - an item that existed is queued as a local change (created for a
//    folder, modified for a file); the workers' gates judge it afresh and
//    what a rule still keeps out is held back again;
//  - a removal of an item that exists again is queued as that item's
//    local change;
//  - a removed folder is forgotten: its records and those below it leave
//    the event database, with the held-back records below it, so that none
//    reads as a local deletion; the resume pull of the loosened path rule
//    brings back what the server holds;
//  - a removed file the event database still records gets a forced
//    download, which restores the server's copy once no rule keeps it out
//    (until then its held-back record stays and keeps any removal of it from
//    the server); one without a record is dropped.
// A record whose item cannot be looked at (a symbolic link on the way, the
// session folder unusable) stays for the next time.
void OfferHeldBackEvents(const Registry::Entry& entry, const std::set<FilterLocalEvent>& held_back,
                         FilterDB& filter_db, EventManager& events);

}  // namespace tidewell

#endif  // TIDEWELL_SYNC_HELD_BACK_EVENTS_H_
