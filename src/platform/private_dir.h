// Folders only their owner may enter: the front end keeps its connection
// token, sessions and runtime files in them.

#ifndef TIDEWELL_PLATFORM_PRIVATE_DIR_H_
#define TIDEWELL_PLATFORM_PRIVATE_DIR_H_

#include <string>

namespace tidewell {

// Creates `path` with its missing parents (parents with mode 0700 as
// well) and makes sure it is a real directory (not a symbolic link) owned
// by the calling user, with no access for group or others (it is chmod-ed
// to 0700 when it is not). Returns 0, or -1 with `error` saying what is
// wrong with which path.
[[nodiscard]] int MakePrivateDir(const std::string& path, std::string& error);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_PRIVATE_DIR_H_
