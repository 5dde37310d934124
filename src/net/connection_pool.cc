#include "net/connection_pool.h"

#include <algorithm>

#include "base/log.h"
#include "net/net_log.h"

namespace tidewell {

std::atomic<unsigned long> g_server_version{2402};

ChannelMode ConnectionPool::getChannelMode(const ProxyInfo& proxy, const TunnelInfo& tunnel) {
  const bool use_proxy = proxy.IsSet();
  if (!use_proxy && !tunnel.use_tunnel) {
    CONN_LOG_DEBUG("ConnectionPool: Create CHANNEL_NORMAL connection pool");
    return CHANNEL_NORMAL;
  }
  if (use_proxy && !tunnel.use_tunnel) {
    CONN_LOG_DEBUG("ConnectionPool: Create CHANNEL_PROXY connection pool");
    return CHANNEL_PROXY;
  }
  if (use_proxy) {
    CONN_LOG_DEBUG("ConnectionPool: Create CHANNEL_PROXY_TUNNEL connection pool");
    return CHANNEL_PROXY_TUNNEL;
  }
  CONN_LOG_DEBUG("ConnectionPool: Create CHANNEL_TUNNEL connection pool");
  return CHANNEL_TUNNEL;
}

ConnectionPool::ConnectionPool(const ConnectionInfo& info, const ProxyInfo& proxy, const TunnelInfo& tunnel,
                               size_t n)
    : m_conn_id(info.conn_id),
      m_client_name(info.computer_name),
      m_server_ip(info.server_ip),
      m_session(info.session),
      m_server_port(info.server_port),
      m_use_ssl(info.use_ssl),
      m_ca_file(info.ssl_ca_file.c_str_utf8()),
      m_size(std::max<size_t>(n, 1)),
      m_avail_conn(m_size) {
  std::lock_guard<std::mutex> lock(mutex);
  FillLocked(proxy, tunnel);
}

ConnectionPool::~ConnectionPool() = default;  // each channel closes with its connection

void ConnectionPool::FillLocked(const ProxyInfo& proxy, const TunnelInfo& tunnel) {
  m_mode = getChannelMode(proxy, tunnel);
  pool.clear();
  for (size_t i = 0; i < m_size; ++i) {
    pool.push_back(std::make_unique<Connection>(m_mode, proxy, tunnel, m_use_ssl, m_ca_file));
  }
  m_avail_conn = m_size;
}

Connection* ConnectionPool::pop() {
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    // A reload replaces the connections; nothing may be handed out meanwhile.
    if (m_freeze) {
      cond_leave_freeze.wait(lock);
      continue;
    }
    for (auto& c : pool) {
      if (!c->m_used) {
        c->m_used = true;
        --m_avail_conn;
        return c.get();
      }
    }
    cond.wait(lock);
  }
}

void ConnectionPool::push(Connection* connection) {
  if (connection == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = std::find_if(pool.begin(), pool.end(), [&](const auto& c) { return c.get() == connection; });
  if (it == pool.end()) return;
  if (!connection->m_used) {
    CONN_LOG_WARN("ConnectionPool: connection pushed back twice, ignored");
    return;
  }
  connection->m_used = false;
  auto node = std::move(*it);
  pool.erase(it);
  if (connection->IsAlive()) {
    pool.push_front(std::move(node));
  } else {
    pool.push_back(std::move(node));
  }
  ++m_avail_conn;
  cond.notify_one();
  if (m_avail_conn == m_size) cond_all_conn_return.notify_all();
}

void ConnectionPool::reloadConnection(const ConnectionInfo& info, const ProxyInfo& proxy, const TunnelInfo& tunnel) {
  std::unique_lock<std::mutex> lock(mutex);
  // One reload at a time; a second one waits for the first to end.
  cond_leave_freeze.wait(lock, [this] { return !m_freeze; });
  m_freeze = true;
  cond_all_conn_return.wait(lock, [this] { return m_avail_conn == m_size; });
  m_server_ip = info.server_ip;
  m_server_port = info.server_port;
  m_use_ssl = info.use_ssl;
  m_ca_file = info.ssl_ca_file.c_str_utf8();
  FillLocked(proxy, tunnel);
  m_freeze = false;
  cond_leave_freeze.notify_all();
  // Takers that waited for a returned connection look again.
  cond.notify_all();
}

bool ConnectionPool::reloading() const {
  std::lock_guard<std::mutex> lock(mutex);
  return m_freeze;
}

bool ConnectionPool::isConnected() const {
  std::lock_guard<std::mutex> lock(mutex);
  return std::any_of(pool.begin(), pool.end(),
                     [](const auto& c) { return c->GetState() == Connection::CONNECTED; });
}

uint64_t ConnectionPool::getConnectionId() const {
  std::lock_guard<std::mutex> lock(mutex);
  return m_conn_id;
}

bool ConnectionPool::useSSL() const {
  std::lock_guard<std::mutex> lock(mutex);
  return m_use_ssl;
}

int ConnectionPool::getServerPort() const {
  std::lock_guard<std::mutex> lock(mutex);
  return m_server_port;
}

ustring ConnectionPool::getServerIp() const {
  std::lock_guard<std::mutex> lock(mutex);
  return m_server_ip;
}

ustring ConnectionPool::getClientName() const {
  std::lock_guard<std::mutex> lock(mutex);
  return m_client_name;
}

ustring ConnectionPool::getSession() const {
  std::lock_guard<std::mutex> lock(mutex);
  return m_session;
}

std::string ConnectionPool::getCaFile() const {
  std::lock_guard<std::mutex> lock(mutex);
  return m_ca_file;
}

ChannelMode ConnectionPool::getMode() const {
  std::lock_guard<std::mutex> lock(mutex);
  return m_mode;
}

size_t ConnectionPool::size() const {
  std::lock_guard<std::mutex> lock(mutex);
  return m_size;
}

size_t ConnectionPool::available() const {
  std::lock_guard<std::mutex> lock(mutex);
  return m_avail_conn;
}

}  // namespace tidewell
