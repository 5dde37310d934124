#include "cli/runtime_state.h"

#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "base/ustring.h"
#include "platform/durable_replace.h"
#include "platform/instance_lock.h"

namespace tidewell::cli {

using nlohmann::json;

int WriteRuntimeInfo(const Paths& paths, const RuntimeInfo& info) {
  json j = {{"pid", info.pid},
            {"ui_port", info.ui_port},
            {"daemon_pid", info.daemon_pid},
            {"daemon_port", info.daemon_port},
            {"ready", info.ready}};
  return DurableReplaceContent(ustring(paths.PortFile()), j.dump() + "\n", 0600) == 0 ? 0 : -1;
}

int ReadRuntimeInfo(const Paths& paths, RuntimeInfo& info) {
  int held = IsInstanceLockHeld(paths.LockFile());
  if (held == 0) return 0;
  return ReadRuntimeFile(paths, info) == 1 ? 1 : -1;
}

int ReadRuntimeFile(const Paths& paths, RuntimeInfo& info) {
  std::ifstream in(paths.PortFile());
  if (!in) return access(paths.PortFile().c_str(), F_OK) == 0 ? -1 : 0;
  std::stringstream text;
  text << in.rdbuf();
  json j = json::parse(text.str(), nullptr, false);
  if (j.is_discarded() || !j.is_object()) return -1;
  auto num = [&](const char* key) -> long long {
    return j.contains(key) && j[key].is_number_integer() ? j[key].get<long long>() : 0;
  };
  info.pid = static_cast<pid_t>(num("pid"));
  info.ui_port = static_cast<int>(num("ui_port"));
  info.daemon_pid = static_cast<pid_t>(num("daemon_pid"));
  info.daemon_port = static_cast<int>(num("daemon_port"));
  info.ready = j.contains("ready") && j["ready"].is_boolean() && j["ready"].get<bool>();
  return info.pid > 0 ? 1 : -1;
}

void RemoveRuntimeInfo(const Paths& paths) { unlink(paths.PortFile().c_str()); }

}  // namespace tidewell::cli
