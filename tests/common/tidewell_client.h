// One synchronising client for end-to-end tests, driven the way a user
// drives it: through the `tidewell` program (which runs a real
// `tidewell-daemon`), with a home, configuration, state and runtime folder
// of its own, so two clients on one machine never share anything but the
// server.
//
// Also the checks the scenarios share: a folder's content as a map, and
// waiting (with a deadline, never a fixed sleep) until two clients hold the
// same files, both are idle, and `tidewell verify` is clean on both.
//
// Not thread-safe: one test thread owns a client.

#ifndef TIDEWELL_TESTS_COMMON_TIDEWELL_CLIENT_H_
#define TIDEWELL_TESTS_COMMON_TIDEWELL_CLIENT_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/temp_dir.h"

namespace tidewell::testing {

class TidewellClient {
 public:
  explicit TidewellClient(std::string name);
  // Stops the instance (and so the daemon); kills what is left.
  ~TidewellClient();
  TidewellClient(const TidewellClient&) = delete;
  TidewellClient& operator=(const TidewellClient&) = delete;

  // The programs under the build folder.
  static std::string ProgramPath();

  // Runs `tidewell args...` as this client and returns its exit status
  // (-1 when it did not end within `deadline`, after killing it);
  // `output` gets standard output and error together.
  int Run(const std::vector<std::string>& args, std::string* output = nullptr,
          std::chrono::seconds deadline = std::chrono::seconds(180));

  // `tidewell login 127.0.0.1:port --token T --view V`, over SSL with the
  // server's certificate as CA file when `ca_file` is given. Fails the test
  // on error.
  void Login(int port, const std::string& token, uint64_t view, const std::string& ca_file = "");
  // `tidewell add <folder>`.
  void Add(const std::vector<std::string>& extra = {});
  // `tidewell start` / `tidewell stop`.
  void Start();
  void Stop();

  const std::string& name() const { return name_; }
  // The synchronised folder.
  std::string folder() const { return dir_.Join("Sync"); }
  std::string Path(const std::string& rel) const { return folder() + "/" + rel; }
  // The running daemon's pid, or -1.
  pid_t DaemonPid() const;
  // A file of the client's own folders (logs and the like).
  std::string StateFile(const std::string& name) const;

  // `tidewell status --json` and `tidewell verify --json` (with the exit
  // status in `rc`); null JSON when the output is none.
  nlohmann::json Status();
  nlohmann::json Verify(int* rc);

  // File helpers inside the synchronised folder (parents created).
  void Write(const std::string& rel, const std::string& content) const;
  std::string Read(const std::string& rel) const;
  bool Exists(const std::string& rel) const;

 private:
  std::vector<std::string> Environment() const;

  const std::string name_;
  TempDir dir_;
};

// Every file and folder below `root` by relative path, with the file's MD4
// (folders as "<dir>"), leaving out the working folder.
std::map<std::string, std::string> FolderContent(const std::string& root);

// Waits until `pred` holds or the deadline passes.
bool WaitFor(const std::function<bool()>& pred, std::chrono::seconds deadline);

// Waits until both folders hold the same content, both clients report no
// pending event and no transfer, and `tidewell verify` finds nothing on
// either. On time-out the failure shows what still differed.
::testing::AssertionResult Converged(TidewellClient& a, TidewellClient& b,
                                     std::chrono::seconds deadline = std::chrono::seconds(120));

// Waits until `tidewell verify` on the client's folder is clean with nothing
// pending: every local file is on the server with the same content and
// nothing the server holds is missing here. What a client wrote has then
// reached the server, whatever its status shows.
::testing::AssertionResult InStepWithServer(TidewellClient& c,
                                            std::chrono::seconds deadline = std::chrono::seconds(120));

}  // namespace tidewell::testing

#endif  // TIDEWELL_TESTS_COMMON_TIDEWELL_CLIENT_H_
