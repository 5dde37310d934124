// Moving items to the user's trash the way desktop file managers expect
// (the freedesktop.org trash layout, version 1.0), so that a removal made with
// "undo" can be restored from the desktop.
//
// An item goes to the home trash ($XDG_DATA_HOME/Trash, by default
// ~/.local/share/Trash) when that lies on the item's file system, otherwise
// to the trash at the top of the item's mount: $topdir/.Trash/$uid when
// $topdir/.Trash is a real directory with the sticky bit, else
// $topdir/.Trash-$uid. Each trash holds files/ (the items, under unique
// names) and info/ (one "<name>.trashinfo" record per item). The byte layout
// is described in docs/trash-and-passwords.md.
//
// Not synchronised: callers serialise trash moves (FSRemove holds a mutex).

#ifndef TIDEWELL_PLATFORM_TRASH_H_
#define TIDEWELL_PLATFORM_TRASH_H_

#include <ctime>
#include <string>
#include <string_view>

#include "base/ustring.h"

namespace tidewell {

// MoveToTrash's result when no trash on the item's file system can be used.
constexpr int kTrashUnavailable = -2;

// Moves `path` (a final symbolic link is moved, not followed) into a trash on
// its own file system and records where it came from. 0 when moved;
// kTrashUnavailable when no trash can take it (none can be created there, or
// the rename would cross file systems); -1 with errno for any other failure,
// in which case the item is where it was.
[[nodiscard]] int MoveToTrash(const ustring& path);

// The home trash folder for the current environment (not created).
std::string HomeTrashDir();

// The record stored in info/ for an item: "[Trash Info]", "Path=" with
// `original` percent-encoded, "DeletionDate=" with `when` in local time as
// YYYY-MM-DDThh:mm:ss; each line ends with "\n".
std::string TrashInfoRecord(std::string_view original, time_t when);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_TRASH_H_
