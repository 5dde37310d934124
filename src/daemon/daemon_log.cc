#include "daemon/daemon_log.h"

namespace tidewell::daemon_internal {

const ustring& ClientComponent() {
  static const ustring component("client_debug");
  return component;
}

const ustring& IpcComponent() {
  static const ustring component("ipc");
  return component;
}

}  // namespace tidewell::daemon_internal
