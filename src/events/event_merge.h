// The merge rules of the event tree: what one pending event of a path
// becomes when another event for the same path arrives.

#ifndef TIDEWELL_EVENTS_EVENT_MERGE_H_
#define TIDEWELL_EVENTS_EVENT_MERGE_H_

#include "events/event_tree.h"

namespace tidewell {

// Merges the node's event `o` with the new event `n` of the same path and
// kind. Repeated changes of one side collapse to the newest (server events
// by sync identifier, a forced download losing to any real one); a local and
// a server change meet in HandleTypeConflict; a folder event replacing a
// pending folder removal asks for a rescan of that folder afterwards.
EventList2::Attribute HandleConflict(const EventList2::Attribute& o,
                                     const EventList2::Attribute& n);

// A server event `s` and a local event `l` of the same file: a removal on
// either side yields to the other side's change (the server's removal wins
// when both removed); two changes become the server's with F_CONFLICT, so
// the download keeps the local copy under a conflict name.
EventList2::Attribute HandleTypeConflict(const EventList2::Attribute& s,
                                         const EventList2::Attribute& l);

}  // namespace tidewell

#endif  // TIDEWELL_EVENTS_EVENT_MERGE_H_
