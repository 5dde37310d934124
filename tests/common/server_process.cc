#include "common/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace tidewell::testing {

namespace {

// Runs `argv` with standard output and error appended to `log`; the pid, or
// -1.
pid_t Spawn(const std::vector<std::string>& args, const std::string& log) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

bool Connects(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  close(fd);
  return ok;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

int FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  int port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
    port = ntohs(sa.sin_port);
  if (fd >= 0) close(fd);
  return port;
}

std::string ServerProcess::BinaryPath() {
  const char* other = std::getenv("TIDEWELL_SERVER_BIN");
  return other != nullptr && *other ? other : std::string(TIDEWELL_BINARY_DIR) + "/src/tidewell-server";
}

ServerProcess::~ServerProcess() {
  if (pid_ <= 0) return;
  if (::testing::Test::HasFailure()) {
    Kill();
    std::string log = Log();
    if (log.size() > 4000) log = log.substr(log.size() - 4000);
    std::fprintf(stderr, "--- end of the server's log ---\n%s\n", log.c_str());
  } else {
    Stop();
  }
}

std::string ServerProcess::Log() const { return log_path_.empty() ? std::string() : ReadAll(log_path_); }

bool ServerProcess::Init() {
  if (initialised_) return true;
  data_dir_ = dir_.Join("data");
  log_path_ = dir_.Join("server.log");
  const std::string out = dir_.Join("init.out");
  pid_t pid = Spawn({BinaryPath(), "init", "--data", data_dir_}, out);
  if (pid < 0) {
    ADD_FAILURE() << "cannot run " << BinaryPath();
    return false;
  }
  int status = 0;
  waitpid(pid, &status, 0);
  std::string text = ReadAll(out);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "tidewell-server init failed:\n" << text;
    return false;
  }
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("session=", 0) == 0) session_ = line.substr(8);
    if (line.rfind("view_id=", 0) == 0) view_id_ = std::stoull(line.substr(8));
  }
  if (session_.empty() || view_id_ == 0) {
    ADD_FAILURE() << "tidewell-server init printed no session or view:\n" << text;
    return false;
  }
  initialised_ = true;
  return true;
}

bool ServerProcess::ServeOnce(const std::vector<std::string>& serve_args, std::chrono::seconds deadline,
                              bool& port_taken) {
  port_taken = false;
  port_ = FreeLoopbackPort();
  std::vector<std::string> args = {BinaryPath(), "serve", "--data", data_dir_, "--listen",
                                   "127.0.0.1:" + std::to_string(port_)};
  args.insert(args.end(), serve_args.begin(), serve_args.end());
  pid_ = Spawn(args, log_path_);
  if (pid_ < 0) {
    ADD_FAILURE() << "cannot start " << BinaryPath();
    return false;
  }
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (std::chrono::steady_clock::now() < until) {
    if (Connects(port_)) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      // Another process may have taken the port; the caller tries a new one.
      port_taken = Log().find("in use") != std::string::npos;
      if (!port_taken) ADD_FAILURE() << "tidewell-server exited at start:\n" << Log();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // polling the port, with a deadline
  }
  ADD_FAILURE() << "tidewell-server did not accept connections within " << deadline.count() << " s:\n" << Log();
  Kill();
  return false;
}

bool ServerProcess::Start(const std::vector<std::string>& serve_args, std::chrono::seconds deadline) {
  if (pid_ > 0) return true;
  if (!Init()) return false;
  for (int attempt = 0; attempt < 5; ++attempt) {
    bool port_taken = false;
    if (ServeOnce(serve_args, deadline, port_taken)) return true;
    if (!port_taken) return false;
  }
  ADD_FAILURE() << "no free port for tidewell-server after 5 attempts";
  return false;
}

void ServerProcess::Reap(int signal, std::chrono::seconds deadline) {
  if (pid_ <= 0) return;
  kill(pid_, signal);
  const auto until = std::chrono::steady_clock::now() + deadline;
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= until) {
      ADD_FAILURE() << "tidewell-server did not end after signal " << signal << "; killed";
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
}

void ServerProcess::Stop(std::chrono::seconds deadline) { Reap(SIGTERM, deadline); }

void ServerProcess::Kill() { Reap(SIGKILL, std::chrono::seconds(20)); }

}  // namespace tidewell::testing
