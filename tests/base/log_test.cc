#include "base/log.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/temp_dir.h"

namespace tidewell {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::string Stamp(time_t t) {
  struct tm local {};
  localtime_r(&t, &local);
  char buf[64];
  strftime(buf, sizeof buf, "%b %d %H:%M:%S ", &local);
  return buf;
}

// True when `s` begins with a timestamp shaped "Mon DD HH:MM:SS ".
bool StartsWithStamp(const std::string& s) {
  const char* shape = "Aaa 00 00:00:00 ";
  if (s.size() < 16) return false;
  for (size_t i = 0; i < 16; ++i) {
    const char c = s[i];
    const bool ok = shape[i] == 'A' ? (c >= 'A' && c <= 'Z')
                    : shape[i] == 'a' ? (c >= 'a' && c <= 'z')
                    : shape[i] == '0' ? (c >= '0' && c <= '9')
                                      : c == shape[i];
    if (!ok) return false;
  }
  return true;
}

void CallLogMsgC(int level, const char* component, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogMSG_c(level, component, format, args);
  va_end(args);
}

class LoggerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ASSERT_EQ(0, Logger::Initialize(Logger::STDERR_LOGGER, "", "", 50));
  }
  // Starts a file logger on dir_/log with the given level file content
  // (none when `levels` is null).
  void StartFile(const char* levels, int rotate_cnt = 50) {
    ustring level_path;
    if (levels != nullptr) {
      dir_.WriteFile("levels", levels);
      level_path = dir_.Join("levels");
    }
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log_path(), level_path, rotate_cnt));
  }
  ustring log_path() const { return ustring(dir_.Join("log")); }
  std::string Log() const { return dir_.ReadFile("log"); }
  bool Exists(const std::string& name) const { return std::filesystem::exists(dir_.Join(name)); }

  testing::TempDir dir_;
};

TEST_F(LoggerTest, LineIsTimestampThenMessageAsFormatted) {
  StartFile(nullptr);
  const time_t before = time(nullptr);
  const int line = __LINE__ + 1;
  TW_LOG_ERROR("ipc", "ipc", "listen error, %d\n", 10048);
  const time_t after = time(nullptr);
  const std::string text = Log();
  const std::string msg = "[ERROR] ipc(" + std::to_string(line) + "): listen error, 10048\n";
  EXPECT_TRUE(text == Stamp(before) + msg || text == Stamp(after) + msg) << text;
  EXPECT_TRUE(StartsWithStamp(text)) << text;
  // The logger adds no newline of its own.
  Logger::LogMsg(Logger::L_ERR, "ipc", "a");
  Logger::LogMsg(Logger::L_ERR, "ipc", "b\n");
  const std::vector<std::string> lines = Lines(Log());
  ASSERT_EQ(2u, lines.size());
  ASSERT_EQ(34u, lines[1].size()) << lines[1];
  EXPECT_TRUE(StartsWithStamp(lines[1]) && lines[1][16] == 'a' && StartsWithStamp(lines[1].substr(17)) &&
              lines[1][33] == 'b')
      << lines[1];
}

TEST_F(LoggerTest, EachMacroWritesItsTag) {
  StartFile("t = 7\n");
  TW_LOG_CRIT("t", "m", "1\n");
  TW_LOG_ERROR("t", "m", "2\n");
  TW_LOG_WARNING("t", "m", "%s\n", "3");
  TW_LOG_NOTE("t", "m", "4\n");
  TW_LOG_INFO("t", "m", "5\n");
  TW_LOG_DEBUG("t", "m", "%d\n", 6);
  const std::vector<std::string> lines = Lines(Log());
  ASSERT_EQ(6u, lines.size());
  const char* tags[] = {"[CRIT] m(", "[ERROR] m(", "[WARNING] m(", "[NOTE] m(", "[INFO] m(", "[DEBUG] m("};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(16u, lines[i].find(tags[i])) << lines[i];
    EXPECT_EQ("): " + std::to_string(i + 1), lines[i].substr(lines[i].size() - 4)) << lines[i];
  }
}

TEST_F(LoggerTest, LevelFileSetsEachComponentsHighestLevel) {
  StartFile("worker_debug = 7\nsyncer_debug = 3\nclient_debug = 0\ndefault_component = 7\n");
  Logger::LogMsg(Logger::L_DEBUG, "worker_debug", "worker debug\n");
  Logger::LogMsg(Logger::L_WARNING, "syncer_debug", "syncer warning\n");
  Logger::LogMsg(Logger::L_ERR, "syncer_debug", "syncer error\n");
  Logger::LogMsg(Logger::L_ERR, "client_debug", "client error\n");
  Logger::LogMsg(Logger::L_EMERG, "client_debug", "client emerg\n");
  // Unconfigured: warnings and worse only; default_component changes nothing.
  Logger::LogMsg(Logger::L_NOTICE, "ipc", "ipc notice\n");
  Logger::LogMsg(Logger::L_WARNING, "ipc", "ipc warning\n");
  Logger::LogMsg(Logger::L_DEBUG, "default_component", "default debug\n");
  const std::string text = Log();
  for (const char* kept : {"worker debug", "syncer error", "client emerg", "ipc warning", "default debug"}) {
    EXPECT_NE(std::string::npos, text.find(kept)) << kept;
  }
  for (const char* dropped : {"syncer warning", "client error", "ipc notice"}) {
    EXPECT_EQ(std::string::npos, text.find(dropped)) << dropped;
  }
  EXPECT_TRUE(Logger::IsEnabled(Logger::L_DEBUG, "worker_debug"));
  EXPECT_FALSE(Logger::IsEnabled(Logger::L_INFO, "flist_debug"));
}

TEST_F(LoggerTest, MalformedOrMissingLevelFileConfiguresNothing) {
  StartFile("worker_debug = 7\nnot a line\n");
  Logger::LogMsg(Logger::L_DEBUG, "worker_debug", "debug\n");
  Logger::LogMsg(Logger::L_ERR, "worker_debug", "error\n");
  EXPECT_EQ(std::string::npos, Log().find("debug"));
  EXPECT_NE(std::string::npos, Log().find("error"));

  ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log_path(), ustring(dir_.Join("absent")), 50));
  EXPECT_FALSE(Logger::IsEnabled(Logger::L_NOTICE, "worker_debug"));
  EXPECT_TRUE(Logger::IsEnabled(Logger::L_WARNING, "worker_debug"));

  StartFile("worker_debug = many\n");  // not a number: 0
  EXPECT_FALSE(Logger::IsEnabled(Logger::L_ALERT, "worker_debug"));
  EXPECT_TRUE(Logger::IsEnabled(Logger::L_EMERG, "worker_debug"));
}

TEST_F(LoggerTest, FileInitializationFailures) {
  EXPECT_EQ(-1, Logger::Initialize(Logger::FILE_LOGGER, "", "", 50));
  EXPECT_EQ(-1, Logger::Initialize(Logger::FILE_LOGGER, ustring(dir_.Join("no/such/dir/log")), "", 50));
  // Messages then still reach standard error.
  ::testing::internal::CaptureStderr();
  Logger::LogMsg(Logger::L_ERR, "x", "after failure\n");
  EXPECT_NE(std::string::npos, ::testing::internal::GetCapturedStderr().find("after failure\n"));
}

TEST_F(LoggerTest, LogFileIsCloseOnExec) {
  StartFile(nullptr);
  const std::string target = dir_.Join("log");
  int found = -1;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec) == target) found = std::stoi(entry.path().filename());
  }
  ASSERT_GE(found, 0);
  EXPECT_TRUE(fcntl(found, F_GETFD) & FD_CLOEXEC);

  FILE* tmp = tmpfile();
  ASSERT_NE(nullptr, tmp);
  ASSERT_EQ(0, fcntl(fileno(tmp), F_SETFD, 0));
  SetHandleFlagInheritFalse(tmp);
  EXPECT_TRUE(fcntl(fileno(tmp), F_GETFD) & FD_CLOEXEC);
  fclose(tmp);
  SetHandleFlagInheritFalse(nullptr);  // nothing to do, must not crash
}

TEST_F(LoggerTest, RotatesPastTheSizeCountingOnlyWhatWasWritten) {
  const std::string old(600000, 'o');
  dir_.WriteFile("log", old + "\n");
  StartFile(nullptr);
  // Each line: 16-byte stamp + 1000 bytes, so 1032 lines are 1048512
  // bytes and the 1033rd passes 1048576 and triggers the rotation.
  const std::string body(999, 'x');
  for (int i = 0; i < 1032; ++i) Logger::LogMsg(Logger::L_ERR, "c", "%s\n", body.c_str());
  EXPECT_FALSE(Exists("log_0")) << "what the file held at start-up is not counted";
  Logger::LogMsg(Logger::L_ERR, "c", "%s\n", body.c_str());
  ASSERT_TRUE(Exists("log_0"));
  EXPECT_EQ(600001u + 1033u * 1016u, std::filesystem::file_size(dir_.Join("log_0")));
  EXPECT_EQ("", Log());
  Logger::LogMsg(Logger::L_ERR, "c", "fresh\n");
  EXPECT_NE(std::string::npos, Log().find("fresh\n"));
  EXPECT_FALSE(Exists("log_1"));
}

TEST_F(LoggerTest, RotationKeepsRotateCountMinusOneFiles) {
  StartFile(nullptr, 50);
  for (int i = 1; i <= 55; ++i) {
    Logger::LogMsg(Logger::L_ERR, "c", "generation %d\n", i);
    ASSERT_EQ(0, Logger::Rotate());
  }
  for (int i = 0; i <= 48; ++i) {
    ASSERT_TRUE(Exists("log_" + std::to_string(i))) << i;
    // log_0 is the newest: generation 55, log_48 holds generation 7.
    EXPECT_NE(std::string::npos, dir_.ReadFile("log_" + std::to_string(i)).find("generation " + std::to_string(55 - i) + "\n"))
        << i;
  }
  EXPECT_FALSE(Exists("log_49"));
  EXPECT_FALSE(Exists("log_50"));
  EXPECT_TRUE(Exists("log"));
}

TEST_F(LoggerTest, FailedRotationDoesNotEndLogging) {
  StartFile(nullptr, 2);
  // Non-empty folders in the way make every rename of the rotation fail.
  dir_.WriteFile("log_0/keep", "x");
  dir_.WriteFile("log_1/keep", "x");
  Logger::LogMsg(Logger::L_ERR, "c", "before\n");
  EXPECT_EQ(-1, Logger::Rotate());
  Logger::LogMsg(Logger::L_ERR, "c", "after\n");
  const std::string text = Log();
  EXPECT_NE(std::string::npos, text.find("before\n"));
  EXPECT_NE(std::string::npos, text.find("after\n")) << "the log is reopened on the next message";
}

TEST_F(LoggerTest, ThreadsNeverInterleaveLines) {
  StartFile(nullptr);
  constexpr int kThreads = 4, kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) TW_LOG_WARNING("worker_debug", "worker", "thread %d line %d %s\n", t, i, "payload");
    });
  }
  for (auto& th : threads) th.join();
  const std::vector<std::string> lines = Lines(Log());
  ASSERT_EQ(static_cast<size_t>(kThreads * kLines), lines.size());
  int next[kThreads] = {};
  for (const std::string& line : lines) {
    ASSERT_TRUE(StartsWithStamp(line)) << line;
    int src = 0, t = -1, i = -1, used = 0;
    ASSERT_EQ(3, sscanf(line.c_str() + 16, "[WARNING] worker(%d): thread %d line %d payload%n", &src, &t, &i, &used))
        << line;
    ASSERT_EQ(line.size() - 16, static_cast<size_t>(used)) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(next[t]++, i);
  }
}

TEST_F(LoggerTest, StandardStreamsAndPlainFunctionForm) {
  ASSERT_EQ(0, Logger::Initialize(Logger::STDOUT_LOGGER, "", "", 50));
  ::testing::internal::CaptureStdout();
  CallLogMsgC(Logger::L_ERR, "utility_debug", "[ERROR] utility(%d): %s\n", 7, "to stdout");
  CallLogMsgC(Logger::L_INFO, "utility_debug", "dropped\n");
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(16u, out.find("[ERROR] utility(7): to stdout\n"));
  EXPECT_EQ(std::string::npos, out.find("dropped"));

  ASSERT_EQ(0, Logger::Initialize(Logger::SYSLOG_LOGGER, "", "", 50));
  ::testing::internal::CaptureStderr();
  Logger::LogMsg(Logger::L_ERR, "c", "bare\n");
  EXPECT_EQ("bare\n", ::testing::internal::GetCapturedStderr()) << "no timestamp on this path";
}

TEST_F(LoggerTest, DestroyClosesTheFileAndFallsBackToStandardError) {
  StartFile(nullptr);
  Logger::LogMsg(Logger::L_ERR, "c", "in file\n");
  Logger::Destroy();
  ::testing::internal::CaptureStderr();
  Logger::LogMsg(Logger::L_ERR, "c", "on stderr\n");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(16u, err.find("on stderr\n"));
  EXPECT_EQ(std::string::npos, Log().find("on stderr"));
  EXPECT_EQ(-1, Logger::Rotate()) << "no file to rotate any more";
}

}  // namespace
}  // namespace tidewell
