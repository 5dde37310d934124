#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <thread>

namespace tidewell {

namespace {

std::vector<char*> Pointers(const std::vector<std::string>& items) {
  std::vector<char*> out;
  out.reserve(items.size() + 1);
  for (const std::string& s : items) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Only async-signal-safe calls from here to exec.
[[noreturn]] void ChildSide(const SpawnOptions& o, char* const argv[], char* const envp[], int report_fd,
                            pid_t parent) {
  if (o.new_session) setsid();
  if (o.new_process_group && !o.new_session) setpgid(0, 0);
  if (o.die_with_parent) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);  // the parent is already gone
  }
  // A parent may block signals for its own reasons; the child starts clean.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  int in = open("/dev/null", O_RDONLY);
  if (in >= 0) {
    dup2(in, 0);
    if (in > 2) close(in);
  }
  if (!o.output_file.empty()) {
    int out = open(o.output_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (out < 0) {
      int err = errno;
      ssize_t n = write(report_fd, &err, sizeof err);
      (void)n;
      _exit(127);
    }
    dup2(out, 1);
    dup2(out, 2);
    if (out > 2) close(out);
  }
  if (envp != nullptr) {
    execve(argv[0], argv, envp);
  } else {
    execv(argv[0], argv);
  }
  int err = errno;
  ssize_t n = write(report_fd, &err, sizeof err);
  (void)n;
  _exit(127);
}

}  // namespace

pid_t SpawnProcess(const SpawnOptions& options) {
  if (options.argv.empty()) {
    errno = EINVAL;
    return -1;
  }
  std::vector<char*> argv = Pointers(options.argv);
  std::vector<char*> envp = Pointers(options.env);
  // The child reports a failed exec through this pipe; a successful exec
  // closes it (close-on-exec), which the parent reads as end of file.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return -1;
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    int err = errno;
    close(report[0]);
    close(report[1]);
    errno = err;
    return -1;
  }
  if (pid == 0) {
    close(report[0]);
    ChildSide(options, argv.data(), options.env.empty() ? nullptr : envp.data(), report[1], parent);
  }
  close(report[1]);
  int child_errno = 0;
  ssize_t n;
  do {
    n = read(report[0], &child_errno, sizeof child_errno);
  } while (n < 0 && errno == EINTR);
  close(report[0]);
  if (n == static_cast<ssize_t>(sizeof child_errno)) {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    errno = child_errno;
    return -1;
  }
  return pid;
}

int WaitProcess(pid_t pid, int timeout_ms, int* exit_code) {
  if (pid <= 0) {
    errno = EINVAL;
    return -1;
  }
  // A pidfd makes the wait a plain poll; without one, look every 20 ms.
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    int status;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      if (pidfd >= 0) close(pidfd);
      if (exit_code != nullptr) *exit_code = DecodeStatus(status);
      return 1;
    }
    if (r < 0 && errno != EINTR) {
      if (pidfd >= 0) close(pidfd);
      return -1;
    }
    int wait_ms = 20;
    if (timeout_ms >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        if (pidfd >= 0) close(pidfd);
        return 0;
      }
      if (pidfd >= 0) wait_ms = static_cast<int>(std::min<long long>(left.count(), INT_MAX));
      else wait_ms = static_cast<int>(std::min<long long>(left.count(), 20));
    } else if (pidfd >= 0) {
      wait_ms = -1;
    }
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      poll(&p, 1, wait_ms);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
    }
  }
}

int SignalProcess(pid_t pid, int sig) {
  if (pid <= 0) {
    errno = EINVAL;
    return -1;
  }
  return kill(pid, sig) == 0 ? 0 : -1;
}

bool ProcessExists(pid_t pid) {
  if (pid <= 0) return false;
  return kill(pid, 0) == 0 || errno == EPERM;
}

std::string ProcessCommandLine(pid_t pid) {
  if (pid <= 0) return "";
  std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  for (char& c : out) {
    if (c == '\0') c = ' ';
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string SelfExecutablePath() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  return std::string(buf, static_cast<size_t>(n));
}

}  // namespace tidewell
