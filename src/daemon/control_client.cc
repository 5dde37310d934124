#include "daemon/control_client.h"

#include "base/error_code.h"
#include "net/channel.h"
#include "net/pobject.h"
#include "net/pstream.h"

namespace tidewell {

int SendControlRequest(int port, const PObject& request, PObject& reply, uint32_t timeout_seconds) {
  if (port <= 0 || port > 65535) return ERR_INVAL;
  Channel ch;
  ch.SetTimeout(timeout_seconds);
  int rc = ch.Open("127.0.0.1", port);
  if (rc != 0) return rc;
  PStream stream;
  rc = stream.Send(ch, request);
  if (rc != 0) return stream.LastChannelCode() == ERR_TIMEOUT ? ERR_TIMEOUT : ERR_IO;
  reply.clear();
  if (request["action"].asString() == ustring("stop")) {
    // No reply: the daemon closes the connection once it has stopped.
    uint8_t byte;
    rc = ch.ReadByte(byte);
    return rc == ERR_IO ? 0 : (rc == 0 ? ERR_PROTO : rc);
  }
  rc = stream.Recv(ch, reply);
  if (rc == 0) return 0;
  if (rc != kStreamChannel) return ERR_PROTO;
  return stream.LastChannelCode() == ERR_TIMEOUT ? ERR_TIMEOUT : ERR_IO;
}

}  // namespace tidewell
