// Paths of the server's object tree and the pull conditions that select
// among them. A path is UTF-8 text beginning with "/", components separated
// by one "/", no trailing "/" except the root "/" itself. Paths are compared
// as bytes, so a folder sorts right before everything below it.
//
// Plain functions without state; thread-safe.

#ifndef TIDEWELL_SERVER_PATH_RULES_H_
#define TIDEWELL_SERVER_PATH_RULES_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tidewell::server {

// Longest component and longest path accepted, in bytes.
inline constexpr size_t kMaxComponent = 1024;
inline constexpr size_t kMaxPath = 32767;

// Normalises a request path: adds a missing leading "/", collapses repeated
// "/", drops a trailing "/", reads "" as "/". True, with the result in
// `out`, when every component is valid UTF-8 of 1 to kMaxComponent bytes
// without NUL and is neither "." nor "..", and the result is at most
// kMaxPath bytes; false otherwise (`out` is then unspecified).
[[nodiscard]] bool NormalizePath(std::string_view in, std::string& out);

// The folder holding `path` ("/" for "/a"); "" for the root.
std::string ParentOf(std::string_view path);
// The final component ("" for the root).
std::string_view NameOf(std::string_view path);
// The folders above `path`, from the root down, without `path` itself.
std::vector<std::string> AncestorsOf(std::string_view path);
// True when `path` lies strictly below `folder`.
bool IsBelow(std::string_view path, std::string_view folder);
// `path` relative to `folder`, beginning with "/" (precondition: IsBelow).
std::string RelativeTo(std::string_view path, std::string_view folder);
// The byte range holding exactly the paths strictly below `folder`:
// low < path < high.
std::string SubtreeLow(std::string_view folder);
std::string SubtreeHigh(std::string_view folder);

// What a pull may be limited to ("condition"). Unset members match all.
struct PullCondition {
  bool has_extension = false;
  std::string extension;
  bool has_name = false;
  std::string name;
  bool has_prefix = false;
  std::string prefix;  // normalised, relative to the pulled folder
  bool has_size = false;
  uint64_t min_size = 0;
  uint64_t max_size = 0;  // 0: no upper bound

  bool empty() const { return !has_extension && !has_name && !has_prefix && !has_size; }
};

// True when an object with the relative path `rel` ("/a/b.txt"), kind and
// size matches every member of `cond`. Names, extensions and prefixes
// ignore ASCII case; extension, name and size select files only.
bool MatchesCondition(const PullCondition& cond, std::string_view rel, bool is_dir, uint64_t size);

// The extension of a final name: the text after its last "." when that "."
// is not the first character; "" otherwise.
std::string_view ExtensionOf(std::string_view name);

}  // namespace tidewell::server

#endif  // TIDEWELL_SERVER_PATH_RULES_H_
