// Turns an event into the item of a user-interface notice, so that the
// notices (one layer down) need not know the event type. Used by whoever
// reports events: the syncing reporter the daemon gives the event manager,
// and the workers after finishing or failing an event.

#ifndef TIDEWELL_EVENTS_EVENT_NOTICE_H_
#define TIDEWELL_EVENTS_EVENT_NOTICE_H_

#include "events/event.h"
#include "session/ui_ipc.h"

namespace tidewell {

// The event's session, path, F_DIR bit and type code. Pure; any thread.
UI_IPC::FileItem NoticeItem(const Event& e);

}  // namespace tidewell

#endif  // TIDEWELL_EVENTS_EVENT_NOTICE_H_
