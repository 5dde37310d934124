// ConnectionPool: the process-wide set of server connections shared by the
// pullers and the workers. A task takes a connection (pop), makes sure it is
// established (connection_handshake.h), runs its requests and gives it back
// (push). Connections the server keeps alive go to the front of the list and
// are handed out first, so established connections are reused; expired ones
// go to the back. reloadConnection replaces every connection for new
// connection settings once all of them are back, while new takers wait.
//
// Thread-safe: one mutex guards the list, the counters, the freeze flag and
// the copied settings. The pool must outlive every task that uses it, and
// every connection must be pushed back before the pool is destroyed.

#ifndef TIDEWELL_NET_CONNECTION_POOL_H_
#define TIDEWELL_NET_CONNECTION_POOL_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "base/ustring.h"
#include "net/connection.h"
#include "net/connection_info.h"

namespace tidewell {

// The server's package build from the last connect reply; 2402 when the
// reply named none. Read by the upload and download paths.
extern std::atomic<unsigned long> g_server_version;

class ConnectionPool {
 public:
  // Creates `n` connections (at least one) for the mode that `proxy` and
  // `tunnel` select, and copies the settings the handshake needs.
  ConnectionPool(const ConnectionInfo& info, const ProxyInfo& proxy, const TunnelInfo& tunnel, size_t n);
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // Blocks until a connection is free (and no reload is running), marks it
  // used and returns it. The pool keeps ownership; give it back with push.
  Connection* pop();

  // Gives a connection back: alive ones to the front, others to the back.
  // Null, unknown and not-taken connections change nothing.
  void push(Connection* connection);

  // Waits until every connection is back, replaces them all for the new
  // settings (server address, port, SSL choice, CA file, proxy, relay;
  // client name, session and connection id stay) and lets takers go on.
  void reloadConnection(const ConnectionInfo& info, const ProxyInfo& proxy, const TunnelInfo& tunnel);

  // True when at least one connection is CONNECTED.
  bool isConnected() const;
  // True from the moment a reload starts waiting for the connections until
  // it has replaced them; takers wait meanwhile.
  bool reloading() const;

  uint64_t getConnectionId() const;
  bool useSSL() const;
  int getServerPort() const;
  ustring getServerIp() const;
  ustring getClientName() const;
  ustring getSession() const;
  std::string getCaFile() const;
  ChannelMode getMode() const;
  size_t size() const;
  size_t available() const;

  // The mode for these settings (logged under "connection_debug").
  static ChannelMode getChannelMode(const ProxyInfo& proxy, const TunnelInfo& tunnel);

 private:
  void FillLocked(const ProxyInfo& proxy, const TunnelInfo& tunnel);

  mutable std::mutex mutex;
  std::condition_variable cond;                  // a connection came back
  std::condition_variable cond_all_conn_return;  // all connections are back
  std::condition_variable cond_leave_freeze;     // a reload ended

  // Guarded by mutex.
  std::list<std::unique_ptr<Connection>> pool;
  uint64_t m_conn_id;
  ustring m_client_name;
  ustring m_server_ip;
  ustring m_session;
  int m_server_port;
  bool m_use_ssl;
  std::string m_ca_file;
  ChannelMode m_mode = CHANNEL_NORMAL;
  bool m_freeze = false;
  size_t m_size;
  size_t m_avail_conn;
};

// Takes a connection for the lifetime of the object and gives it back at
// the end, so no early return can lose one. Not thread-safe itself.
class PooledConnection {
 public:
  explicit PooledConnection(ConnectionPool& pool) : pool_(pool), connection_(pool.pop()) {}
  ~PooledConnection() { pool_.push(connection_); }
  PooledConnection(const PooledConnection&) = delete;
  PooledConnection& operator=(const PooledConnection&) = delete;

  Connection& operator*() const { return *connection_; }
  Connection* operator->() const { return connection_; }
  Connection* get() const { return connection_; }

 private:
  ConnectionPool& pool_;
  Connection* connection_;
};

}  // namespace tidewell

#endif  // TIDEWELL_NET_CONNECTION_POOL_H_
