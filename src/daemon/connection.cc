// "link_connection" and "reload_connection": the one connection pool.

#include "base/settings.h"
#include "daemon/daemon_log.h"
#include "daemon/tidewell.h"
#include "sync/sync_env.h"

namespace tidewell {

bool Tidewell::HasConnectionKeys(const PObject& request) {
  for (const char* key : {"connection_id", "server_ip", "server_port", "session"}) {
    if (!request.hasMember(key)) return false;
  }
  return true;
}

void Tidewell::prepare_connection_info(const PObject& request, ConnectionInfo& info, ProxyInfo& proxy,
                                       TunnelInfo& tunnel) {
  FillConnectionInfo(request, info, proxy, tunnel);
}

void Tidewell::link_connection(const PObject& request, PObject& reply) {
  if (!HasConnectionKeys(request)) {
    APP_LOG_ERR("invalid parameters.\n");
    reply["error"] = "Invalid parameters";
    return;
  }
  if (pool_) {
    // The tasks may hold connections of the pool that exists; replacing it
    // would leave them with a destroyed pool. New settings go through
    // "reload_connection".
    APP_LOG_ERR("connection pool exists already, use reload_connection\n");
    reply["error"] = "Connection already linked";
    return;
  }
  ConnectionInfo info;
  ProxyInfo proxy;
  TunnelInfo tunnel;
  prepare_connection_info(request, info, proxy, tunnel);
  uint32_t workers = WorkerCountFor(Settings::getInstance().getWorkerCount()) - 1;
  // One connection per worker and one for each of the two pullers.
  pool_ = std::make_unique<ConnectionPool>(info, proxy, tunnel, workers + 2);
  SyncEnv::Process().pool.store(pool_.get());
}

void Tidewell::reload_connection(const PObject& request, PObject& reply) {
  if (!HasConnectionKeys(request)) {
    APP_LOG_ERR("invalid parameters.\n");
    reply["error"] = "Invalid parameters";
    return;
  }
  if (!pool_) {
    APP_LOG_ERR("reload_connection without a connection pool, use link_connection\n");
    reply["error"] = "No connection to reload";
    return;
  }
  ConnectionInfo info;
  ProxyInfo proxy;
  TunnelInfo tunnel;
  prepare_connection_info(request, info, proxy, tunnel);
  pool_->reloadConnection(info, proxy, tunnel);
}

}  // namespace tidewell
