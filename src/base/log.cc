#include "base/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "base/config.h"

namespace tidewell {
namespace {

// Components missing from the level table write this level and worse.
constexpr int kUnconfiguredLevel = Logger::L_WARNING;

struct LogState {
  std::mutex log_lock;
  // All below guarded by log_lock.
  std::map<ustring, int> log_level;
  Logger::Type log_type = Logger::STDOUT_LOGGER;
  FILE* log_fp = stderr;  // null after a failed rotation, until reopened
  long log_size = -1;     // bytes written since opening; -1: no accounting
  int rotate_cnt = 50;
  ustring log_path;
};

// The state outlives every other static object, so that code running in
// static destructors can still log. It is built in place in static storage
// on first use and never destroyed.
LogState& State() {
  alignas(LogState) static unsigned char storage[sizeof(LogState)];
  static LogState* state = ::new (storage) LogState();
  return *state;
}

bool IsOwned(FILE* fp) { return fp != nullptr && fp != stdout && fp != stderr; }

void CloseLocked(LogState& s) {
  if (IsOwned(s.log_fp)) std::fclose(s.log_fp);
  s.log_fp = nullptr;
}

FILE* OpenAppend(const ustring& path) {
  const int fd = ::open(path.c_str_utf8(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  FILE* fp = ::fdopen(fd, "a");
  if (fp == nullptr) {
    ::close(fd);
    return nullptr;
  }
  SetHandleFlagInheritFalse(fp);
  return fp;
}

bool AdmittedLocked(const LogState& s, int level, const ustring& component) {
  auto it = s.log_level.find(component);
  return level <= (it != s.log_level.end() ? it->second : kUnconfiguredLevel);
}

std::string RotatedName(const ustring& path, int i) {
  return std::string(path.c_str_utf8()) + "_" + std::to_string(i);
}

// Shifts `log_path`_i to _(i + 1), drops the oldest, moves the live file to
// _0 and starts a new one. On failure the log is left closed (log_fp null).
int RotateLocked(LogState& s) {
  const int n = s.rotate_cnt;
  for (int i = n - 2; i >= 0; --i) {
    (void)std::rename(RotatedName(s.log_path, i).c_str(), RotatedName(s.log_path, i + 1).c_str());
  }
  (void)::unlink(RotatedName(s.log_path, n - 1).c_str());
  CloseLocked(s);
  if (std::rename(s.log_path.c_str_utf8(), RotatedName(s.log_path, 0).c_str()) != 0) return -1;
  s.log_fp = OpenAppend(s.log_path);
  return s.log_fp != nullptr ? 0 : -1;
}

void WriteLocked(LogState& s, const char* format, va_list args) {
  if (s.log_type == Logger::SYSLOG_LOGGER) {
    std::vfprintf(stderr, format, args);
    return;
  }
  if (s.log_fp == nullptr && s.log_type == Logger::FILE_LOGGER && !s.log_path.empty()) {
    // A failed rotation closed the log; try again rather than going silent
    // for the rest of the process.
    s.log_fp = OpenAppend(s.log_path);
  }
  if (s.log_fp == nullptr) return;

  char stamp[64];
  const time_t now = std::time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  if (std::strftime(stamp, sizeof stamp, "%b %d %H:%M:%S ", &local) == 0) stamp[0] = '\0';
  const int a = std::fprintf(s.log_fp, "%s", stamp);
  const int b = std::vfprintf(s.log_fp, format, args);
  std::fflush(s.log_fp);

  if (s.log_type == Logger::FILE_LOGGER && s.log_size >= 0 && a >= 0 && b >= 0) {
    s.log_size += a + b;
    if (s.log_size > Logger::kRotateSize) {
      (void)RotateLocked(s);
      s.log_size = 0;
    }
  }
}

void LogV(int level, const ustring& component, const char* format, va_list args) {
  LogState& s = State();
  std::lock_guard<std::mutex> hold(s.log_lock);
  if (!AdmittedLocked(s, level, component)) return;
  WriteLocked(s, format, args);
}

}  // namespace

int Logger::Initialize(Type type, const ustring& log_path, const ustring& level_path, int rotate_cnt) {
  LogState& s = State();
  std::lock_guard<std::mutex> hold(s.log_lock);
  // Undo an earlier set-up so that a second call starts clean.
  CloseLocked(s);
  s.log_fp = stderr;
  s.log_size = -1;
  s.log_path.clear();

  s.log_level.clear();
  s.log_level["default_component"] = kUnconfiguredLevel;
  if (!level_path.empty()) {
    std::map<ustring, ustring> levels;
    if (ReadConfigFile(level_path, levels) == 0) {
      for (const auto& [component, value] : levels) s.log_level[component] = ConfigValueToInt(value);
    }
  }

  s.log_type = type;
  switch (type) {
    case SYSLOG_LOGGER:
      s.log_fp = nullptr;
      return 0;
    case STDOUT_LOGGER:
      s.log_fp = stdout;
      return 0;
    case STDERR_LOGGER:
      s.log_fp = stderr;
      return 0;
    case FILE_LOGGER:
      break;
  }
  if (log_path.empty()) return -1;
  FILE* fp = OpenAppend(log_path);
  if (fp == nullptr) return -1;
  s.log_fp = fp;
  s.log_size = 0;
  s.log_path = log_path;
  s.rotate_cnt = std::max(1, rotate_cnt);
  return 0;
}

void Logger::LogMsg(Level level, const ustring& component, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogV(level, component, format, args);
  va_end(args);
}

void Logger::LogMsg2(Level level, const ustring& component, const char* format, va_list args) {
  LogV(level, component, format, args);
}

bool Logger::IsEnabled(Level level, const ustring& component) {
  LogState& s = State();
  std::lock_guard<std::mutex> hold(s.log_lock);
  return AdmittedLocked(s, level, component);
}

int Logger::Rotate() {
  LogState& s = State();
  std::lock_guard<std::mutex> hold(s.log_lock);
  if (s.log_type != FILE_LOGGER || s.log_path.empty()) return -1;
  const int r = RotateLocked(s);
  s.log_size = 0;
  return r;
}

void Logger::Destroy() {
  LogState& s = State();
  std::lock_guard<std::mutex> hold(s.log_lock);
  if (s.log_type != FILE_LOGGER) return;
  CloseLocked(s);
  s.log_type = STDERR_LOGGER;
  s.log_fp = stderr;
  s.log_size = -1;
  s.log_path.clear();
  s.rotate_cnt = 32;
}

void LogMSG_c(int level, const char* component, const char* format, va_list args) {
  LogV(level, ustring(component), format, args);
}

void SetHandleFlagInheritFalse(FILE* stream) {
  if (stream == nullptr) return;
  const int fd = ::fileno(stream);
  if (fd < 0) return;
  const int flags = ::fcntl(fd, F_GETFD);
  if (flags >= 0) (void)::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

}  // namespace tidewell
