// A simulated client for engine tests: one session in a temporary folder,
// connected to a real `tidewell-server`, with its own registry, event
// queue, filter database and notices, so that several clients can run in
// one test process. It builds what the daemon would build for a session:
//
//   <tmp>/local/                    the session's folder, with the working
//                                   folder ".VeltronaWorkingDirectory" and
//                                   its "#VeltRecycle"
//   <tmp>/config/db/event-db.sqlite the event database, "db/sign" beside it
//   <tmp>/config/conf/*.filter      black list and white list admitting
//                                   everything
//   <tmp>/filter.sqlite             the filter database
//
// and a connection pool to the server. Workers run as real task threads
// (StartWorkers) or are driven one pass at a time from the test thread
// (Worker::RunOnePass). PullOnce plays the server event puller: one
// "pull_event" from the stored sync id, its events pushed into the queue.
// Await polls a condition until a deadline; nothing sleeps as a means of
// synchronisation.
//
// Not thread-safe: one test thread owns a client; the tasks it starts run
// on their own threads.

#ifndef TIDEWELL_TESTS_COMMON_ENGINE_HARNESS_H_
#define TIDEWELL_TESTS_COMMON_ENGINE_HARNESS_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/server_process.h"
#include "common/temp_dir.h"
#include "db/file_event_db.h"
#include "db/filter_db.h"
#include "events/event_manager.h"
#include "filter/black_list.h"
#include "net/connection_pool.h"
#include "session/registry.h"
#include "session/session_state.h"
#include "sync/sync_env.h"
#include "sync/worker.h"

namespace tidewell::testing {

// Notices kept for the test to look at. Thread-safe.
class RecordingNotices : public EngineNotices {
 public:
  struct Notice {
    std::string kind;  // "session_error", "connection_error", "locked", "file"
    uint64_t sess_id = 0;
    std::string path;
    int code = 0;  // the error, or the event type of a file notice
  };
  void SessionError(uint64_t sess_id, int error) override;
  void ConnectionError(uint64_t conn_id, int error) override;
  void FileLocked(const Event& e, int error) override;
  void FileEvent(const Event& e) override;
  std::vector<Notice> Snapshot() const;
  // How many notices of `kind` for `path` ("" = any path).
  int Count(const std::string& kind, const std::string& path = "") const;

 private:
  mutable std::mutex mutex_;
  std::vector<Notice> notices_;
};

using Deadline = std::chrono::milliseconds;
inline constexpr Deadline kDefaultDeadline{60000};

class EngineClient {
 public:
  struct Options {
    uint64_t sess_id = 1;
    std::string client_name = "PC1";
    std::string remote_path = "/";
    bool recursive = true;
    bool use_ssl = false;
    size_t connections = 3;
    int port = 0;  // where the pool connects; 0: the server's own port
  };

  EngineClient(ServerProcess& server, const Options& options);
  explicit EngineClient(ServerProcess& server) : EngineClient(server, Options()) {}
  // Stops the workers, then drops the session and the pool.
  ~EngineClient();
  EngineClient(const EngineClient&) = delete;
  EngineClient& operator=(const EngineClient&) = delete;

  // --- the session's folders ----------------------------------------------
  const std::string& root() const { return root_; }
  // root() + `rel` ("/a/b").
  std::string Path(const std::string& rel) const { return root_ + rel; }
  const std::string& config() const { return config_; }
  void Write(const std::string& rel, const std::string& content);
  std::string Read(const std::string& rel) const;
  bool Exists(const std::string& rel) const;
  // Names in the folder `rel`, sorted, without the working folder.
  std::vector<std::string> List(const std::string& rel) const;

  // --- the parts ------------------------------------------------------------
  uint64_t sess_id() const { return options_.sess_id; }
  SyncEnv& env() { return *env_; }
  EventManager& events() { return events_; }
  Registry& registry() { return registry_; }
  FileEventDB& db() { return *db_; }
  FilterDB& filter_db() { return filter_db_; }
  ConnectionPool& pool() { return *pool_; }
  RecordingNotices& notices() { return notices_; }
  Registry::Entry entry();
  // The database record of `rel`: 1 found, 0 none, -1 error.
  int Record(const std::string& rel, ClientFileEventInfo& info);

  // --- workers --------------------------------------------------------------
  // Adds a worker of type W (a Worker or a test subclass) that is not
  // started; the client owns it.
  template <typename W = Worker>
  W& AddWorker() {
    auto w = std::make_unique<W>(*env_);
    W& ref = *w;
    workers_.push_back(std::move(w));
    return ref;
  }
  Worker& worker(size_t i) { return *workers_.at(i); }
  // Adds workers until there are `n` and starts every stopped one.
  void StartWorkers(size_t n = 2);
  void StopWorkers();

  // --- server events ----------------------------------------------------------
  // One pull_event from the stored sync id; each listed event is pushed
  // into the queue (echoes dropped as the puller drops them). Returns the
  // number listed, or -1 (and a test failure) when the pull fails.
  int PullOnce();
  // PullOnce, then AwaitIdle, then stores the next sync id; repeated until
  // a pull lists nothing. False when the deadline passed.
  bool SyncFromServer(Deadline deadline = kDefaultDeadline);
  uint64_t stored_sync_id();

  // True once `cond` holds, polled every 10 ms; false (with a test
  // failure naming `what`) when the deadline passes first.
  bool Await(const std::function<bool()>& cond, const std::string& what, Deadline deadline = kDefaultDeadline);
  // Await: nothing pending for the session and no worker on an event.
  bool AwaitIdle(Deadline deadline = kDefaultDeadline);

 private:
  ServerProcess& server_;
  const Options options_;
  TempDir dir_;
  std::string root_;
  std::string config_;
  std::shared_ptr<FileEventDB> db_;
  Registry registry_;
  EventManager events_{registry_};
  FilterDB filter_db_;
  BlackList2 system_filter_;
  SessionStateTable session_state_;
  RecordingNotices notices_;
  std::unique_ptr<SyncEnv> env_;
  std::unique_ptr<ConnectionPool> pool_;
  std::vector<std::unique_ptr<Worker>> workers_;
  uint64_t pending_next_sync_id_ = 0;
};

}  // namespace tidewell::testing

#endif  // TIDEWELL_TESTS_COMMON_ENGINE_HARNESS_H_
