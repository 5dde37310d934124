#include "cli/xdg_paths.h"

#include "platform/private_dir.h"

namespace tidewell::cli {

namespace {

// The variable's value when it is an absolute path, else "".
std::string AbsoluteVar(const EnvLookup& env, const char* name) {
  const char* v = env(name);
  if (v == nullptr || v[0] != '/') return "";
  std::string s(v);
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

}  // namespace

int ResolvePaths(const EnvLookup& env, unsigned uid, Paths& paths, std::string& error) {
  const std::string home = AbsoluteVar(env, "HOME");
  std::string config = AbsoluteVar(env, "XDG_CONFIG_HOME");
  std::string state = AbsoluteVar(env, "XDG_STATE_HOME");
  if (config.empty() && !home.empty()) config = home + "/.config";
  if (state.empty() && !home.empty()) state = home + "/.local/state";
  if (config.empty() || state.empty()) {
    error = "cannot tell where settings belong: set HOME or XDG_CONFIG_HOME and XDG_STATE_HOME";
    return -1;
  }
  const std::string runtime = AbsoluteVar(env, "XDG_RUNTIME_DIR");
  paths.config_dir = config + "/tidewell";
  paths.state_dir = state + "/tidewell";
  paths.runtime_dir = runtime.empty() ? "/tmp/tidewell-" + std::to_string(uid) : runtime + "/tidewell";
  return 0;
}

int EnsureFolders(const Paths& paths, std::string& error) {
  for (const std::string* dir : {&paths.config_dir, &paths.state_dir, &paths.runtime_dir}) {
    if (MakePrivateDir(*dir, error) != 0) return -1;
  }
  return 0;
}

}  // namespace tidewell::cli
