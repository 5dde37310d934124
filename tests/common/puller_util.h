// Helpers for the pullers' tests: the log written to a file and awaited,
// a stand-in for the workers that finishes every queued event and records
// what it saw, and a loopback forwarder that puts a keep-alive object in
// front of the server's reply to every pull.

#ifndef TIDEWELL_TESTS_COMMON_PULLER_UTIL_H_
#define TIDEWELL_TESTS_COMMON_PULLER_UTIL_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/task.h"
#include "common/engine_harness.h"
#include "common/temp_dir.h"
#include "events/event.h"

namespace tidewell::testing {

// The process log, at every level for the engine's components, in a file;
// back to standard error when the object goes.
class LogFile {
 public:
  explicit LogFile(const TempDir& dir);
  ~LogFile();
  std::string Text() const;
  // True once the log holds `needle` at least `times` times; a test failure
  // when the deadline passes first.
  bool Await(const std::string& needle, int times = 1, Deadline deadline = kDefaultDeadline) const;
  static int Count(const std::string& text, const std::string& needle);

 private:
  std::string path_;
};

// Plays the workers: finishes every event queued for the client's sessions
// as soon as it appears, recording the event and the session's stored sync
// id at that moment.
class Drain {
 public:
  struct Taken {
    Event event;
    uint64_t stored_sync_id = 0;
  };
  explicit Drain(EngineClient& client);
  ~Drain();
  std::vector<Taken> taken() const;
  std::vector<std::string> paths() const;

 private:
  class Holder : public Task {};
  EngineClient& client_;
  Holder holder_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<Taken> taken_;  // guarded by mutex_
  std::thread thread_;
};

// Forwards 127.0.0.1 connections to `target_port`; each time the client
// sends a pull request, an encoded {"type": "keep_alive"} goes to the
// client before the server's reply.
class KeepAliveInjector {
 public:
  explicit KeepAliveInjector(int target_port);
  ~KeepAliveInjector();
  int port() const { return port_; }
  int injected() const { return injected_.load(); }

 private:
  void Accept();
  void Serve(int client, int server);

  int listen_fd_ = -1;
  int port_ = 0;
  const int target_port_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> injected_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::thread> threads_;  // guarded by mutex_
  std::vector<int> sockets_;          // guarded by mutex_
};

}  // namespace tidewell::testing

#endif  // TIDEWELL_TESTS_COMMON_PULLER_UTIL_H_
