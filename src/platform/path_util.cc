#include "platform/path_util.h"

namespace tidewell::pathutil {

std::string_view TrimTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

std::string ParentOf(std::string_view path) {
  path = TrimTrailingSlashes(path);
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  std::string_view parent = TrimTrailingSlashes(path.substr(0, slash));
  if (parent.empty()) return "/";
  return std::string(parent);
}

std::string_view BaseNameOf(std::string_view path) {
  path = TrimTrailingSlashes(path);
  if (path == "/") return path;
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string Join(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (out.empty() || out.back() != '/') out += '/';
  out += name;
  return out;
}

}  // namespace tidewell::pathutil
