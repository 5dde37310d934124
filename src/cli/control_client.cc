#include "cli/control_client.h"

#include "base/error_code.h"
#include "net/channel.h"
#include "net/pstream.h"

namespace tidewell::cli {

int SendControl(int port, const PObject& request, PObject* reply, uint32_t timeout_s, std::string& error) {
  const std::string action = request["action"].asStringRef().c_str_utf8();
  Channel ch;
  ch.SetTimeout(timeout_s);
  if (ch.Open("127.0.0.1", port) != ERR_OK) {
    error = "the daemon does not answer on port " + std::to_string(port);
    return -1;
  }
  PStream ps;
  if (ps.Send(ch, request) != kStreamOk) {
    error = "cannot send \"" + action + "\" to the daemon";
    return -1;
  }
  if (reply == nullptr) {
    // Nothing comes back; reading ends when the daemon closes.
    uint8_t byte;
    (void)ch.ReadByte(byte);
    return 0;
  }
  reply->clear();
  if (ps.Recv(ch, *reply) != kStreamOk) {
    error = "the daemon did not answer \"" + action + "\"";
    return -1;
  }
  return 0;
}

std::string ControlError(const PObject& reply) {
  if (!reply.hasMember("error")) return "";
  const PObject& e = reply["error"];
  if (e.isString()) return e.asStringRef().c_str_utf8();
  return e.toString().c_str_utf8();
}

}  // namespace tidewell::cli
