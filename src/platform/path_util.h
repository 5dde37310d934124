// Small path helpers of the file layer. On Linux only "/" separates path
// components ("\\" is an ordinary name character).

#ifndef TIDEWELL_PLATFORM_PATH_UTIL_H_
#define TIDEWELL_PLATFORM_PATH_UTIL_H_

#include <string>
#include <string_view>

namespace tidewell::pathutil {

// `path` without trailing "/" (a path made only of "/" stays "/").
std::string_view TrimTrailingSlashes(std::string_view path);

// Directory part of `path` (after trimming trailing slashes): "." for a bare
// name, "/" for a name directly under the root.
std::string ParentOf(std::string_view path);

// Last component of `path` (after trimming trailing slashes).
std::string_view BaseNameOf(std::string_view path);

// `dir` + "/" + `name`, without doubling a trailing "/" of `dir`.
std::string Join(std::string_view dir, std::string_view name);

}  // namespace tidewell::pathutil

#endif  // TIDEWELL_PLATFORM_PATH_UTIL_H_
