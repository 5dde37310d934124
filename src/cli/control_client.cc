#include "cli/control_client.h"

#include "base/error_code.h"
#include "daemon/control_client.h"

namespace tidewell::cli {

int SendControl(int port, const PObject& request, PObject* reply, uint32_t timeout_s, std::string& error) {
  const std::string action = request["action"].asStringRef().c_str_utf8();
  PObject local;
  int rc = SendControlRequest(port, request, reply != nullptr ? *reply : local, timeout_s);
  if (rc == ERR_OK) return 0;
  switch (rc) {
    case ERR_TIMEOUT:
      error = "the daemon did not answer \"" + action + "\" in time";
      break;
    case ERR_IO:
      error = "the daemon does not answer on port " + std::to_string(port);
      break;
    default:
      error = "the daemon's answer to \"" + action + "\" cannot be read (" + GetErrorString(rc) + ")";
      break;
  }
  return -1;
}

std::string ControlError(const PObject& reply) {
  if (!reply.hasMember("error")) return "";
  const PObject& e = reply["error"];
  if (e.isString()) return e.asStringRef().c_str_utf8();
  return e.toString().c_str_utf8();
}

}  // namespace tidewell::cli
