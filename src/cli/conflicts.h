// Finding the conflict copies in a session's folder: when both sides
// changed a file, the engine keeps the local version under a name that
// adds the client, the time and the reason before the extension, for
// example "report_laptop_Dec-08-1432-2026_Conflict.txt" (a counter "_1" may
// follow the reason when the name was taken).
//
// Stateless functions; safe from any thread.

#ifndef TIDEWELL_CLI_CONFLICTS_H_
#define TIDEWELL_CLI_CONFLICTS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace tidewell::cli {

struct ConflictCopy {
  std::string path;      // session-relative path of the copy
  std::string original;  // session-relative path it was made from
  std::string client;    // the client that made it
  std::string reason;    // "Conflict", "TailCharacterConflict", ...
  uint64_t size = 0;
};

// When `name` (a last path component) is a conflict copy's name, fills
// `original_name`, `client` and `reason` and returns true.
bool ParseConflictName(const std::string& name, std::string& original_name, std::string& client,
                       std::string& reason);

// Every conflict copy under `root` (the working folder left out), in path
// order. 0, or -1 when `root` cannot be listed.
[[nodiscard]] int FindConflictCopies(const std::string& root, std::vector<ConflictCopy>& out);

}  // namespace tidewell::cli

#endif  // TIDEWELL_CLI_CONFLICTS_H_
