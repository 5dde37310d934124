#include "daemon/ipc_listener.h"

#include "daemon/daemon_log.h"

namespace tidewell {
namespace {

constexpr int kBacklog = 8;
constexpr int kMaxPort = 65535;

}  // namespace

int IPCListener::prepare(int port) {
  int rc = socket_.Create();
  if (rc != 0) {
    IPC_LOG_ERR("sock error: sock create error, %d\n", -rc);
    return -1;
  }
  int bound = do_bind(port);
  if (bound < 0) {
    IPC_LOG_ERR("find available port failed.\n");
    socket_.Close();
    return -1;
  }
  rc = socket_.Listen(kBacklog);
  if (rc != 0) {
    IPC_LOG_ERR("listen error, %d\n", -rc);
    socket_.Close();
    return -1;
  }
  IPC_LOG_INFO("listening on port %d\n", bound);
  return bound;
}

int IPCListener::do_bind(int port) {
  // Ports below 1 cannot be bound; counting up from a negative number would
  // take billions of attempts.
  if (port < 1) port = 1;
  for (;; ++port) {
    IPC_LOG_INFO("Try to bind port: %d\n", port);
    if (port > kMaxPort) {
      IPC_LOG_ERR("Port number exceeds 65536\n");
      return -1;
    }
    int rc = socket_.Bind(port);
    if (rc == 0) {
      IPC_LOG_INFO("Bind port %d success\n", port);
      return port;
    }
    IPC_LOG_ERR("bind error, %d\n", -rc);
    IPC_LOG_INFO("Bind port %d failed, try next one\n", port);
  }
}

bool IPCListener::isReady() {
  if (!socket_.IsOpen()) return false;
  long ms = timeout.tv_sec * 1000L + timeout.tv_usec / 1000L;
  return socket_.WaitForConnection(static_cast<int>(ms)) > 0;
}

int IPCListener::accept() {
  int fd = socket_.Accept();
  return fd >= 0 ? fd : -1;
}

}  // namespace tidewell
