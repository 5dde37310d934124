// Helpers for the connection tests: an echoing TCP target, the relay
// service on a free port, a tinyproxy instance per test, and small socket
// utilities. Everything listens on 127.0.0.1 only.

#ifndef TIDEWELL_TESTS_NET_CONN_TEST_UTIL_H_
#define TIDEWELL_TESTS_NET_CONN_TEST_UTIL_H_

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/loopback.h"
#include "common/temp_dir.h"
#include "common/test_cert.h"
#include "relay/relay_server.h"

namespace tidewell::testing {

// A TCP server that sends back every byte it receives, one thread per
// connection, until the client closes.
class EchoServer {
 public:
  EchoServer() {
    acceptor_ = std::thread([this] {
      for (;;) {
        int fd = listener_.Accept();
        if (fd < 0) return;
        connections_.fetch_add(1);
        std::lock_guard<std::mutex> lock(mu_);
        fds_.push_back(fd);
        threads_.emplace_back([fd] {
          char buf[16384];
          for (;;) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            if (send(fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
          }
          shutdown(fd, SHUT_WR);
        });
      }
    });
  }
  ~EchoServer() {
    listener_.Close();
    acceptor_.join();
    std::lock_guard<std::mutex> lock(mu_);
    for (int fd : fds_) shutdown(fd, SHUT_RDWR);
    for (auto& t : threads_) t.join();
    for (int fd : fds_) ::close(fd);
  }
  int port() const { return listener_.port(); }
  int connections() const { return connections_.load(); }

 private:
  LoopbackListener listener_;
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<int> fds_;
  std::vector<std::thread> threads_;
  std::atomic<int> connections_{0};
};

// The relay service on a free loopback port with a fresh certificate. The
// one-argument form serves any target (the tests' own loopback servers);
// with options, only what they allow.
class TestRelay {
 public:
  explicit TestRelay(const TempDir& dir) : TestRelay(dir, AnyTarget()) {}
  TestRelay(const TempDir& dir, RelayServer::Options options) {
    WriteSelfSignedCert(dir.Join("relay.crt"), dir.Join("relay.key"), "relay");
    options.listen_address = "127.0.0.1";
    options.port = 0;
    options.cert_file = dir.Join("relay.crt");
    options.key_file = dir.Join("relay.key");
    server_ = std::make_unique<RelayServer>(options);
    EXPECT_EQ(0, server_->Start());
  }
  RelayServer& server() { return *server_; }
  int port() const { return server_->port(); }

 private:
  static RelayServer::Options AnyTarget() {
    RelayServer::Options options;
    options.allow_any = true;
    return options;
  }

  std::unique_ptr<RelayServer> server_;
};

// A child program whose standard output and error are collected, so a test
// can wait for a line it prints.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
    if (reader_.joinable()) reader_.join();
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `args[0]` with the arguments. Fails the test when it cannot.
  void Start(std::vector<std::string> args) {
    int pipe_fds[2];
    ASSERT_EQ(0, pipe2(pipe_fds, O_CLOEXEC));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_fds[1]);
    if (rc != 0) {
      ::close(pipe_fds[0]);
      pid_ = -1;
      FAIL() << "cannot start " << args[0];
    }
    reader_ = std::thread([this, fd = pipe_fds[0]] {
      char buf[4096];
      for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        std::lock_guard<std::mutex> lock(mu_);
        output_.append(buf, static_cast<size_t>(n));
        cv_.notify_all();
      }
      ::close(fd);
      std::lock_guard<std::mutex> lock(mu_);
      closed_ = true;
      cv_.notify_all();
    });
  }

  // Waits until the output contains `text` (true), or the program closed its
  // output or `seconds` passed (false).
  bool WaitForOutput(const std::string& text, int seconds = 30) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(seconds),
                 [&] { return output_.find(text) != std::string::npos || closed_; });
    return output_.find(text) != std::string::npos;
  }
  std::string output() {
    std::lock_guard<std::mutex> lock(mu_);
    return output_;
  }
  void Signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
  }
  // Waits for the program to end; its exit status, or -1 when it was killed
  // by a signal (or never ran).
  int Wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (reader_.joinable()) reader_.join();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  std::thread reader_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::string output_;
  bool closed_ = false;
};

// Debian's tinyproxy, started for one test on a free port with a generated
// configuration, stopped at the end. available() is false when the program
// is not installed; tests then skip.
class TinyProxy {
 public:
  static constexpr const char* kBinary = "/usr/bin/tinyproxy";
  static bool available() { return access(kBinary, X_OK) == 0; }

  // `user` non-empty turns on Basic authentication.
  TinyProxy(const TempDir& dir, const std::string& user = {}, const std::string& password = {}) {
    Start(dir, user, password);
  }
  ~TinyProxy() {
    process_.Signal(SIGTERM);
    process_.Wait();
  }
  int port() const { return port_; }
  std::string log() { return process_.output(); }

 private:
  void Start(const TempDir& dir, const std::string& user, const std::string& password) {
    port_ = UnusedLoopbackPort();
    std::string conf = dir.Join("tinyproxy.conf");
    {
      std::ofstream out(conf);
      out << "Port " << port_ << "\nListen 127.0.0.1\nTimeout 60\nMaxClients 64\nAllow 127.0.0.1\n"
          << "LogLevel Info\nPidFile \"" << dir.Join("tinyproxy.pid") << "\"\n";
      if (!user.empty()) out << "BasicAuth " << user << " " << password << "\n";
    }
    process_.Start({kBinary, "-d", "-c", conf});
    // The log tells when the proxy accepts connections.
    ASSERT_TRUE(process_.WaitForOutput("Accepting connections")) << "tinyproxy did not start:\n"
                                                                 << process_.output();
  }

  int port_ = 0;
  ChildProcess process_;
};

#define TW_SKIP_WITHOUT_TINYPROXY()                                                   \
  do {                                                                                \
    if (!::tidewell::testing::TinyProxy::available())                                 \
      GTEST_SKIP() << "tinyproxy is not installed (/usr/bin/tinyproxy); "             \
                      "tools/install-deps.sh installs it";                            \
  } while (0)

}  // namespace tidewell::testing

#endif  // TIDEWELL_TESTS_NET_CONN_TEST_UTIL_H_
