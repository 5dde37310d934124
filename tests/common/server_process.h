// The real `tidewell-server` program, started for one test: `init --data
// DIR` makes a store with a user and a view (its "session=" and "view_id="
// lines are kept), `serve --data DIR --listen 127.0.0.1:<free port>` runs
// it, and Start returns once the port accepts connections (awaited with a
// deadline). The destructor ends the server with SIGTERM and waits for it;
// after a failed test it kills it with SIGKILL instead and prints the end of
// its log, so a hung server never hangs the test.
//
// Not thread-safe: one test thread owns it. The accessors may be read from
// any thread once Start has returned.

#ifndef TIDEWELL_TESTS_COMMON_SERVER_PROCESS_H_
#define TIDEWELL_TESTS_COMMON_SERVER_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "common/temp_dir.h"

namespace tidewell::testing {

class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // The program under the build folder, or the one TIDEWELL_SERVER_BIN
  // names.
  static std::string BinaryPath();

  // Initialises a fresh store (once) and serves it on a free loopback port;
  // `serve_args` are added to the serve command line. A port another
  // process took between choosing and binding is replaced by a new one.
  // False, with a test failure naming the cause, when the program cannot
  // be initialised or does not accept connections within the deadline.
  [[nodiscard]] bool Start(const std::vector<std::string>& serve_args = {},
                           std::chrono::seconds deadline = std::chrono::seconds(30));

  // SIGTERM and wait (SIGKILL after the deadline). Start serves the same
  // store again afterwards.
  void Stop(std::chrono::seconds deadline = std::chrono::seconds(20));
  // SIGKILL and wait.
  void Kill();
  bool running() const { return pid_ > 0; }

  int port() const { return port_; }
  const std::string& session() const { return session_; }
  uint64_t view_id() const { return view_id_; }
  const std::string& data_dir() const { return data_dir_; }
  // The server's standard output and error so far.
  std::string Log() const;

 private:
  bool Init();
  bool ServeOnce(const std::vector<std::string>& serve_args, std::chrono::seconds deadline, bool& port_taken);
  void Reap(int signal, std::chrono::seconds deadline);

  TempDir dir_;
  std::string data_dir_;
  std::string log_path_;
  pid_t pid_ = -1;
  int port_ = 0;
  std::string session_;
  uint64_t view_id_ = 0;
  bool initialised_ = false;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();

}  // namespace tidewell::testing

#endif  // TIDEWELL_TESTS_COMMON_SERVER_PROCESS_H_
