#include "daemon/control_loop.h"

#include <unistd.h>

#include <cstring>

#include "daemon/daemon_log.h"
#include "daemon/ipc_listener.h"
#include "daemon/tidewell.h"
#include "net/pobject.h"
#include "net/pstream.h"
#include "net/socket_ops.h"
#include "platform/socket_owner.h"

namespace tidewell {

ControlLoop::ControlLoop(IPCListener& listener, Tidewell& controller)
    : listener_(listener), controller_(controller), own_uid_(static_cast<uint32_t>(geteuid())) {}

void ControlLoop::Serve() {
  while (!ServeOne()) {
  }
}

bool ControlLoop::AdmitPeer(int fd) {
  uint32_t uid = 0;
  int rc = FindPeerOwner(fd, uid);
  if (rc == 1 && uid == own_uid_) return true;
  if (rc == 1) {
    MAIN_LOG_WARN("refused a control connection from user %u (the daemon serves only user %u)\n", uid, own_uid_);
  } else if (rc == 0) {
    MAIN_LOG_WARN("refused a control connection whose peer is no longer open, its user cannot be checked\n");
  } else {
    MAIN_LOG_ERR("refused a control connection: cannot look up its user (%s)\n", std::strerror(-rc));
  }
  return false;
}

bool ControlLoop::ServeOne() {
  if (!listener_.isReady()) return false;
  int fd = listener_.accept();
  if (fd < 0) return false;
  if (!AdmitPeer(fd)) {
    CloseSocket(fd);
    return false;
  }
  ControlChannel channel(limits_);
  if (channel.Adopt(fd) != 0) return false;

  PStream stream;
  stream.SetValueLimit(kMaxValues);
  PObject request;
  if (stream.Recv(channel, request) != 0) {
    MAIN_LOG_ERR("Failed to recieve message from channel.\n");
    if (channel.exceeded() == ControlChannel::Exceeded::kTooLarge) {
      MAIN_LOG_WARN("control request larger than %zu bytes dropped\n", limits_.max_bytes);
    } else if (channel.exceeded() == ControlChannel::Exceeded::kTooSlow) {
      MAIN_LOG_WARN("control request not received within %lld ms, dropped\n",
                    static_cast<long long>(limits_.total.count()));
    }
    return false;
  }
  if (MAIN_DEBUG_ENABLED()) {
    ustring text = request.toString();
    MAIN_LOG_DEBUG("recieve msg >>> %s\n", text.c_str_utf8());
  }
  PObject reply;
  if (controller_.send_message(request, reply) != 0) {
    MAIN_LOG_ERR("the controller is not running, request dropped\n");
    return false;
  }
  if (request["action"].asString() == ustring("stop")) return true;
  if (MAIN_DEBUG_ENABLED()) {
    ustring text = reply.toString();
    MAIN_LOG_DEBUG("send rsp <<< %s\n", text.c_str_utf8());
  }
  if (stream.Send(channel, reply) != 0) MAIN_LOG_ERR("Failed to send message from channel.\n");
  return false;
}

}  // namespace tidewell
