#include "common/daemon_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>

#include "daemon/control_client.h"
#include "net/channel.h"
#include "net/pstream.h"

extern char** environ;

namespace tidewell::testing {
namespace {

// status_ of a process that ended by a signal.
constexpr int kSignalled = 256;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

std::string DaemonProgram() { return std::string(TIDEWELL_BINARY_DIR) + "/src/tidewell-daemon"; }

UiEndpoint::UiEndpoint(int port) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t len = sizeof sa;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    if (port == 0) ADD_FAILURE() << "cannot bind a loopback port";
  } else if (::listen(listen_fd_, 64) == 0 &&
             ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
    port_ = ntohs(sa.sin_port);
  }
  thread_ = std::thread([this] { Serve(); });
}

UiEndpoint::~UiEndpoint() {
  ::shutdown(listen_fd_, SHUT_RDWR);  // wakes the blocked accept
  thread_.join();
  ::close(listen_fd_);
  for (int fd : open_fds_) ::close(fd);
}

void UiEndpoint::Serve() {
  for (;;) {
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return;
    }
    int keep = ::dup(fd);  // the start-up notice's connection stays open
    PObject notice;
    {
      Channel ch;
      ch.SetTimeout(30);
      if (ch.Open(fd, true) != 0) {
        ::close(fd);
        ::close(keep);
        continue;
      }
      PStream stream;
      if (stream.Recv(ch, notice) != 0) notice.clear();
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (notice.hasMember("daemon_port")) {
      open_fds_.push_back(keep);
    } else {
      ::close(keep);
    }
    if (!notice.isNull()) notices_.push_back(std::move(notice));
    cv_.notify_all();
  }
}

PObject UiEndpoint::WaitFor(const std::function<bool(const PObject&)>& match, int seconds) {
  std::unique_lock<std::mutex> lock(mu_);
  PObject found;
  bool ok = cv_.wait_for(lock, std::chrono::seconds(seconds), [&] {
    for (const PObject& n : notices_) {
      if (match(n)) {
        found = n;
        return true;
      }
    }
    return false;
  });
  if (!ok) ADD_FAILURE() << "no matching notice within " << seconds << " s";
  return found;
}

bool UiEndpoint::WaitUntil(const std::function<bool(const std::vector<PObject>&)>& done, int seconds) {
  std::unique_lock<std::mutex> lock(mu_);
  bool ok = cv_.wait_for(lock, std::chrono::seconds(seconds), [&] { return done(notices_); });
  if (!ok) ADD_FAILURE() << "the notices did not arrive within " << seconds << " s";
  return ok;
}

std::vector<PObject> UiEndpoint::Notices() {
  std::lock_guard<std::mutex> lock(mu_);
  return notices_;
}

DaemonProcess::DaemonProcess(const TempDir& dir, UiEndpoint& ui, std::map<std::string, std::string> config)
    : dir_(dir), ui_(ui) {
  config_path_ = dir.Join("daemon.conf");
  log_path_ = dir.Join("daemon.log");
  output_path_ = dir.Join("daemon.out");
  std::map<std::string, std::string> keys = {
      {"log_file_path", log_path_},
      {"log_level_file_path", dir.Join("daemon.levels")},
      {"fstat_db_path", dir.Join("file-status.sqlite")},
      {"filter_db_path", dir.Join("filter.sqlite")},
      {"system_filter_path", dir.Join("system.filter")},
      {"db_path", dir.Join("db.sqlite")},
      {"pid_file_path", dir.Join("daemon.pid")},
      {"ui_port", std::to_string(ui.port())},
  };
  for (auto& [k, v] : config) keys[k] = v;
  std::string text;
  for (auto& [k, v] : keys) text += k + " = \"" + v + "\"\n";
  dir.WriteFile("daemon.conf", text);
  dir.WriteFile("daemon.levels",
                "client_debug = 7\nipc = 7\nchannel_ui_debug = 7\ndetector_debug = 7\nevent_mgr_debug = 6\n"
                "worker_debug = 7\nsyncer_debug = 7\nconnection_debug = 7\nprogress_syncer_debug = 7\n"
                "recycle_cleaner_debug = 7\n");
  if (access(dir.Join("system.filter").c_str(), F_OK) != 0) dir.WriteFile("system.filter", "");
}

DaemonProcess::~DaemonProcess() {
  if (pid_ > 0 && status_ < 0) {
    ::kill(pid_, SIGKILL);
    Wait(30);
  }
  if (pidfd_ >= 0) ::close(pidfd_);
}

void DaemonProcess::StartWithArgs(const std::vector<std::string>& args) {
  ASSERT_LT(pid_, 0) << "started twice";
  std::vector<std::string> argv_text = {DaemonProgram()};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  // The trash the daemon moves items to lives in the test's folder.
  std::vector<std::string> env_text = {"HOME=" + dir_.Join("home"), "XDG_DATA_HOME=" + dir_.Join("home/.local/share")};
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    if (entry.rfind("HOME=", 0) != 0 && entry.rfind("XDG_DATA_HOME=", 0) != 0) env_text.push_back(entry);
  }
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ASSERT_EQ(0, rc) << "cannot start " << argv[0];
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  ASSERT_GE(pidfd_, 0) << "pidfd_open failed";
}

void DaemonProcess::Start() {
  StartWithArgs({config_path_, std::to_string(ui_.port())});
  PObject notice = ui_.WaitFor([](const PObject& n) { return n.hasMember("daemon_port"); });
  port_ = notice["daemon_port"].asInt32();
  ASSERT_GT(port_, 0) << "no daemon_port notice; log:\n" << Log();
}

PObject DaemonProcess::Request(const PObject& request) {
  PObject reply;
  int rc = SendControlRequest(port_, request, reply);
  EXPECT_EQ(0, rc) << "request " << request.toString().c_str_utf8() << " failed";
  return reply;
}

PObject DaemonProcess::Request(const char* action, const PObject& members) {
  PObject request = members.isMap() ? members : PObject();
  request["action"] = action;
  return Request(request);
}

PObject DaemonProcess::WaitForStatus(const std::function<bool(const PObject&)>& done, int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    PObject status = Request("get_status");
    if (done(status)) return status;
    if (std::chrono::steady_clock::now() >= deadline) {
      ADD_FAILURE() << "status not reached within " << seconds << " s: " << status.toString().c_str_utf8()
                    << "\ndaemon log:\n"
                    << Log();
      return status;
    }
    pollfd none{-1, 0, 0};
    ::poll(&none, 0, 20);  // between two status requests
  }
}

int DaemonProcess::Wait(int seconds) {
  if (status_ >= 0) return status_ == kSignalled ? -2 : status_;
  if (pid_ < 0) return -1;
  pollfd p{pidfd_, POLLIN, 0};
  int n;
  do {
    n = ::poll(&p, 1, seconds * 1000);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return -1;
  int wstatus = 0;
  if (::waitpid(pid_, &wstatus, 0) != pid_) return -1;
  status_ = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : kSignalled;
  return status_ == kSignalled ? -2 : status_;
}

std::string DaemonProcess::Log() const {
  // Rotated files first, oldest ("_<n>") to newest ("_0"), then the live one.
  std::string text;
  for (int i = 48; i >= 0; --i) {
    std::string rotated = log_path_ + "_" + std::to_string(i);
    if (access(rotated.c_str(), F_OK) == 0) text += ReadWhole(rotated);
  }
  return text + ReadWhole(log_path_);
}

std::string DaemonProcess::Output() const { return ReadWhole(output_path_); }

bool DaemonProcess::WaitForLog(const std::string& text, int seconds) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    if (Log().find(text) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // The log file has no change notice of its own; look again shortly.
    pollfd none{-1, 0, 0};
    ::poll(&none, 0, 20);
  }
}

void WriteOpenRuleFiles(const TempDir& dir, const std::string& config) {
  dir.WriteFile(config + "/conf/blacklist.filter", "");
  dir.WriteFile(config + "/conf/whitelist.filter", "[File]\nwhite_ext = \"*\"\n");
}

}  // namespace tidewell::testing
