// Building events for the common situations and queueing them: a server
// event object received from the server (dropping echoes of changes this
// daemon made itself), and upload, download and removal events that a
// worker, a rescan or a selective-sync change decided on.
//
// Every function takes the session's registry entry (its sess_id,
// local_path and event_db are used) and pushes into `manager`, by default
// the process-wide event manager. They run on the caller's thread and rely
// on the manager's locking.

#ifndef TIDEWELL_EVENTS_EVENT_GENERATOR_H_
#define TIDEWELL_EVENTS_EVENT_GENERATOR_H_

#include <cstdint>

#include "base/ustring.h"
#include "events/event_manager.h"
#include "session/registry.h"

namespace tidewell {

class PObject;
struct FilterLocalEvent;

// Queues the server event `obj` (a map: "is_dir", "is_removed", "path",
// "sync_id", "max_id", "file" {"hash", "size"}, "common_attribute"
// {"mtime"}, "mtime" {"mtime"}, "mac_attribute" {"hash", "size"},
// "exec_bit"). Returns 1 when pushed; 0 when dropped: an echo of what the
// event database already records for an item that exists locally, a
// removal of an item the database does not know, or a path that is not a
// clean session path (empty, relative, or with "." or ".." components).
int PushEvent(Registry::Entry& entry, const PObject& obj,
              EventManager& manager = EventManager::getInstance());

// A local EV_MODIFY (upload) / EV_REMOVE of `path`. Returns 1.
int PushUploadEvent(Registry::Entry& entry, const ustring& path, bool is_dir,
                    EventManager& manager = EventManager::getInstance());
int PushLocalRemoveEvent(Registry::Entry& entry, const ustring& path, bool is_dir,
                         EventManager& manager = EventManager::getInstance());

// A server EV_REMOVE of `path` at the given identifiers. Returns 1.
int PushServerRemoveEvent(Registry::Entry& entry, const ustring& path, bool is_dir,
                          uint64_t sync_id, uint64_t max_id,
                          EventManager& manager = EventManager::getInstance());

// A forced download of `path`: a server EV_MODIFY whose sync identifiers
// are Event::kForcedSyncId, so that any real server event for the path
// replaces it. Time, size, hash, attribute hash and exec bit come from the
// event database's record; without one the event goes out without them (and
// a warning). Returns 1.
int PushDownloadEvent(Registry::Entry& entry, const ustring& path, bool is_dir,
                      EventManager& manager = EventManager::getInstance());

// Replays a change a filter had kept back: an upload when the item exists
// locally (`is_exist`), otherwise a download.
void PushEvent(Registry::Entry& entry, const FilterLocalEvent& filtered,
               EventManager& manager = EventManager::getInstance());

// True for a session path a server may name: begins with "/", holds no NUL
// byte and has no "." or ".." component. Guards the local folder against paths that would
// climb out of it.
bool IsCleanSessionPath(const ustring& path);

}  // namespace tidewell

#endif  // TIDEWELL_EVENTS_EVENT_GENERATOR_H_
