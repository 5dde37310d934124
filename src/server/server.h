// The sync server: opens the data folder (database, blobs, temporary
// folder), listens on a TCP address, and serves every accepted connection
// on a thread of its own (ServerConnection) until Stop.
//
// Start-up also tidies what an earlier run may have left: temporary files
// are deleted, blob files that no committed row names are removed, expired
// resume tokens are dropped. A background pass expires idle resume tokens.
//
// Thread-safety: Start once; Stop and the accessors from any thread.

#ifndef TIDEWELL_SERVER_SERVER_H_
#define TIDEWELL_SERVER_SERVER_H_

#include <atomic>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "server/server_context.h"

namespace tidewell::server {

class ServerConnection;

class Server {
 public:
  explicit Server(ServerOptions options);
  // Stops and joins everything.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Opens the data folder and starts listening. 0, or -1 after logging.
  [[nodiscard]] int Start();
  // The port listened on (after Start).
  int port() const { return port_; }
  // Ends every connection (a request being read is broken off; what was
  // committed stays, nothing half-written becomes visible), lets the
  // committer finish, and joins. Safe to call several times.
  void Stop();

  ServerContext* context() { return ctx_.get(); }

 private:
  struct Slot {
    std::unique_ptr<ServerConnection> connection;
    std::thread thread;
    std::atomic<bool> finished{false};
  };

  int OpenStore();
  int Listen();
  void AcceptLoop();
  void Housekeeping();
  void ExpireTokens();
  // Joins finished connections. Call with slots_lock_ held.
  void ReapLocked();

  ServerOptions options_;
  std::unique_ptr<ServerContext> ctx_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::thread housekeeper_;

  std::mutex stop_lock_;  // serialises Stop()
  std::atomic<bool> stopping_{false};
  std::mutex wait_lock_;
  std::condition_variable wait_cv_;  // wakes the housekeeper on Stop

  std::atomic<size_t> active_connections_{0};  // served right now

  // Guarded by slots_lock_.
  std::mutex slots_lock_;
  std::list<std::unique_ptr<Slot>> slots_;
};

// Paths of the default certificate and key that `init` writes into the data
// folder.
std::string DefaultCertPath(const std::string& data_dir);
std::string DefaultKeyPath(const std::string& data_dir);
// Path of the database file in the data folder.
std::string DatabasePath(const std::string& data_dir);

}  // namespace tidewell::server

#endif  // TIDEWELL_SERVER_SERVER_H_
