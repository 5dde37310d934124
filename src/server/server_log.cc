#include "server/server_log.h"

namespace tidewell::server {

const ustring& ServerComponent() {
  static const ustring kComponent("server_debug");
  return kComponent;
}

}  // namespace tidewell::server
