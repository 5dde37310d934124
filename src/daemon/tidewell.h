// Tidewell: the daemon's application controller.
//
// It owns the daemon's working set -- the task table (change detector,
// recycle cleaner, server event puller, selective-sync puller, workers), the
// one connection pool, and the process-wide databases and lists the tasks
// share -- and runs one thread of its own, the main thread, which executes
// every control request, one at a time, in arrival order. The control loop
// hands requests in with send_message and blocks until the reply is filled.
//
// The actions (docs/control-protocol.md) are member functions spread over
// one file per concern: link.cc (link, unlink, the task table),
// session_add.cc, session_remove.cc, session_reload.cc, pause.cc,
// connection.cc and status.cc.
//
// Thread-safety: send_message and kill may be called from any thread (in
// practice the control loop's). Everything else runs on the main thread
// only: the task table, the pool and the linked state are touched by
// nobody else, which is why they need no lock of their own. Tasks meet the
// actions through the registry, the event manager and the databases, each
// of which locks itself.

#ifndef TIDEWELL_DAEMON_TIDEWELL_H_
#define TIDEWELL_DAEMON_TIDEWELL_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/task.h"
#include "base/ustring.h"
#include "net/connection_info.h"
#include "net/connection_pool.h"
#include "net/pobject.h"
#include "session/registry.h"

namespace tidewell {

class Detector;
class Worker;

class Tidewell {
 public:
  // One session as an "add_session" request describes it.
  struct Session {
    uint64_t sess_id = 0;
    uint64_t view_id = 0;
    uint64_t node_id = 0;
    bool recursive = true;
    ustring config_path;
    ustring local_path;
    ustring remote_path;
    uint32_t create_time = 0;
  };

  // Bounds of the setting "worker_count". The table holds worker_count + 3
  // tasks: the four fixed ones and worker_count - 1 workers, so at least
  // one worker always exists.
  static constexpr uint32_t kMinWorkerCount = 2;
  static constexpr uint32_t kMaxWorkerCount = 64;

  Tidewell();
  // Stops the main thread if it still runs (as kill()) and unlinks.
  ~Tidewell();
  Tidewell(const Tidewell&) = delete;
  Tidewell& operator=(const Tidewell&) = delete;

  // Starts the main thread. 0, or -1 (logged) when it runs already or
  // cannot be created.
  int run();

  // Queues `request` and blocks until the main thread has executed it;
  // `reply` then holds the answer, always with "ack" = "ok". 0, or -1 when
  // the main thread is not running (nothing executed, `reply` untouched).
  int send_message(const PObject& request, PObject& reply);
  int send_message(const PObject& request);

  // Queues a final "stop" without waiting for it and joins the main
  // thread. Safe to call when the thread has already ended.
  void kill();

  // The number of workers a "worker_count" setting gives (clamped).
  static uint32_t WorkerCountFor(uint32_t setting);

 private:
  // One queued request. The waiter is null for a request nobody waits for.
  struct Waiter {
    std::mutex mutex;
    std::condition_variable cond;
    bool done = false;
  };
  struct msg_t {
    const PObject* msg = nullptr;  // owned by the sender, or by `owned`
    PObject* result = nullptr;
    Waiter* waiter = nullptr;
    std::shared_ptr<PObject> owned;  // a request queued by kill()
  };

  void do_main_loop();
  void handle_control(const PObject& request, PObject& reply);

  // link.cc
  int do_link(const PObject& request, PObject& reply);
  void do_unlink();
  int init_env();
  void destroy_env();
  int init_members();
  int init_tasks();
  void destroy_members();
  void destroy_tasks();
  void destroy_connections();
  void start_all();
  int stop_all();
  Detector* detector() const;
  // The workers, in table order (empty while unlinked).
  std::vector<Worker*> workers() const;

  // session_add.cc
  void add_session(const PObject& request, PObject& reply);
  int create_registry_entry(const Session& session, bool merge);
  int create_session_environment(const Session& session);
  int reload_filter(uint64_t sess_id, uint64_t sync_id, const ustring& rule_file, const ustring& local_path);
  int load_resume_condition(uint64_t sess_id);

  // session_remove.cc
  void remove_session(const PObject& request, PObject& reply);
  int remove_one_session(uint64_t sess_id, PObject& reply);

  // session_reload.cc
  void reload_session(const PObject& request, PObject& reply);
  void reload_local_events(const Registry::Entry& entry);

  // pause.cc
  void pause_action(const PObject& request, PObject& reply);
  void resume_action(const PObject& request, PObject& reply);
  void pauseRegistry(uint64_t sess_id);
  void resumeRegistry(uint64_t sess_id);
  void drop_session(uint64_t sess_id);

  // connection.cc
  void link_connection(const PObject& request, PObject& reply);
  void reload_connection(const PObject& request, PObject& reply);
  static bool HasConnectionKeys(const PObject& request);
  static void prepare_connection_info(const PObject& request, ConnectionInfo& info, ProxyInfo& proxy,
                                      TunnelInfo& tunnel);

  // status.cc
  void get_status(PObject& reply);

  // Set while the main thread runs; 0 once "stop" has been executed.
  std::atomic<int> app_running{1};

  // Main thread only.
  bool linked_ = false;
  // The task table: index 0 the detector, 1 the recycle cleaner, 2 the
  // server event puller, 3 the selective-sync puller, then the workers.
  // Empty while unlinked.
  std::vector<std::unique_ptr<Task>> task;
  std::unique_ptr<ConnectionPool> pool_;

  std::mutex msg_lock;
  // Guarded by msg_lock.
  std::condition_variable msg_cond;
  std::deque<msg_t> msg_queue;
  bool thread_running_ = false;

  std::thread msg_thread;
};

}  // namespace tidewell

#endif  // TIDEWELL_DAEMON_TIDEWELL_H_
