#include "base/settings.h"

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/log.h"
#include "common/temp_dir.h"

namespace tidewell {
namespace {

class SettingsTest : public ::testing::Test {
 protected:
  int Load(const std::string& content) {
    dir_.WriteFile("conf", content);
    return settings_.loadConfigSettings(ustring(dir_.Join("conf")));
  }
  void ExpectDefaultsExceptWorkerCount() const {
    EXPECT_EQ("/tmp/db.sqlite", settings_.getDbPath());
    EXPECT_EQ("/var/run/tidewell-daemon.pid", settings_.getPidFilePath());
    EXPECT_EQ("/var/log/tidewell-daemon.log", settings_.getLogFilePath());
    EXPECT_EQ("/var/log/tidewell-daemon.debug", settings_.getLogLevelFilePath());
    EXPECT_EQ("/tmp/file-status.sqlite", settings_.getFStatDbPath());
    EXPECT_EQ("/tmp/filter.sqlite", settings_.getFilterDbPath());
    EXPECT_EQ("/tmp/filter", settings_.getSystemFilterPath());
    EXPECT_EQ("/tmp/tidewell-socket", settings_.getSocketPath());
    EXPECT_EQ("/tmp/tidewell-ui-socket", settings_.getUISocketPath());
    EXPECT_EQ(1024, settings_.getUIPort());
    EXPECT_TRUE(settings_.isDaemon());
    EXPECT_EQ("user", settings_.getClientName());
    EXPECT_FALSE(settings_.useSSL());
    EXPECT_EQ("InvalidSession", settings_.getSession());
    EXPECT_EQ(0, settings_.getServerPort());
    EXPECT_EQ("InvalidAddress", settings_.getServerIp());
  }

  testing::TempDir dir_;
  Settings settings_;
};

TEST_F(SettingsTest, DefaultsAndASingleKey) {
  ExpectDefaultsExceptWorkerCount();
  EXPECT_EQ(3u, settings_.getWorkerCount());
  ASSERT_EQ(0, Load("worker_count = 5\n"));
  EXPECT_EQ(5u, settings_.getWorkerCount());
  ExpectDefaultsExceptWorkerCount();
}

TEST_F(SettingsTest, SettleDelayDefaultsToOneSecondAndStaysPositive) {
  EXPECT_EQ(1000, settings_.getSettleDelayMs());
  ASSERT_EQ(0, Load("settle_delay_ms = 250\n"));
  EXPECT_EQ(250, settings_.getSettleDelayMs());
  ASSERT_EQ(0, Load("settle_delay_ms = -5\n"));
  EXPECT_EQ(1, settings_.getSettleDelayMs());
}

TEST_F(SettingsTest, EveryKeyIsApplied) {
  ASSERT_EQ(0, Load("db_path = /d\nfstat_db_path = /f\nfilter_db_path = /fi\nsystem_filter_path = /s\n"
                    "pid_file_path = /p\nlog_file_path = /l\nlog_level_file_path = /ll\nworker_count = 7\n"
                    "socket_path = /so\nui_sock_path = /us\nui_port = 2000\nis_daemon = false\n"
                    "client_name = me\nuse_ssl = true\nsession = s1\nserver_port = 443\n"
                    "server_ip = 10.0.0.1\nunknown_key = ignored\n"));
  EXPECT_EQ("/d", settings_.getDbPath());
  EXPECT_EQ("/f", settings_.getFStatDbPath());
  EXPECT_EQ("/fi", settings_.getFilterDbPath());
  EXPECT_EQ("/s", settings_.getSystemFilterPath());
  EXPECT_EQ("/p", settings_.getPidFilePath());
  EXPECT_EQ("/l", settings_.getLogFilePath());
  EXPECT_EQ("/ll", settings_.getLogLevelFilePath());
  EXPECT_EQ(7u, settings_.getWorkerCount());
  EXPECT_EQ("/so", settings_.getSocketPath());
  EXPECT_EQ("/us", settings_.getUISocketPath());
  EXPECT_EQ(2000, settings_.getUIPort());
  EXPECT_FALSE(settings_.isDaemon());
  EXPECT_EQ("me", settings_.getClientName());
  EXPECT_TRUE(settings_.useSSL());
  EXPECT_EQ("s1", settings_.getSession());
  EXPECT_EQ(443, settings_.getServerPort());
  EXPECT_EQ("10.0.0.1", settings_.getServerIp());
}

TEST_F(SettingsTest, QuotingCommentsAndMalformedFiles) {
  EXPECT_EQ(-1, Load("log_file_path = /var/log/my log\n"));
  ExpectDefaultsExceptWorkerCount();
  ASSERT_EQ(0, Load("log_file_path = \"/var/log/my log\"\n"));
  EXPECT_EQ("/var/log/my log", settings_.getLogFilePath());

  ASSERT_EQ(0, Load("ui_port = 2000 # comment\n"));
  EXPECT_EQ(2000, settings_.getUIPort());
  EXPECT_EQ(-1, Load("ui_port = 3000 4000\n"));
  EXPECT_EQ(2000, settings_.getUIPort()) << "a rejected file changes nothing";

  ASSERT_EQ(0, Load("db_path#note\ndb_path = /one\ndb_path = /two\n"));
  EXPECT_EQ("/two", settings_.getDbPath());
  EXPECT_EQ(-1, Load("worker_count = 9\ndb_path\n"));
  EXPECT_EQ(3u, settings_.getWorkerCount());
  EXPECT_EQ(-1, Load("db_path = /x\n" + std::string(8200, 'k') + " = v\n"));
  EXPECT_EQ("/two", settings_.getDbPath());

  EXPECT_EQ(-1, settings_.loadConfigSettings(""));
  EXPECT_EQ(-1, settings_.loadConfigSettings(ustring(dir_.Join("absent"))));
}

TEST_F(SettingsTest, ValueRules) {
  ASSERT_EQ(0, Load("use_ssl = TRUE\nis_daemon = yes\nsession = \"\"\nworker_count = many\nui_port = 80x\n"));
  EXPECT_FALSE(settings_.useSSL()) << "the comparison with \"true\" is exact";
  EXPECT_FALSE(settings_.isDaemon());
  EXPECT_EQ("InvalidSession", settings_.getSession()) << "an empty value keeps the setting";
  EXPECT_EQ(0u, settings_.getWorkerCount());
  EXPECT_EQ(80, settings_.getUIPort());
}

TEST_F(SettingsTest, TheInstanceIsSharedAndGettersAreSafeAcrossThreads) {
  EXPECT_EQ(&Settings::getInstance(), &Settings::getInstance());
  dir_.WriteFile("conf", "db_path = /shared\n");
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([this] {
      for (int i = 0; i < 200; ++i) {
        const ustring p = settings_.getDbPath();
        ASSERT_TRUE(p == "/tmp/db.sqlite" || p == "/shared") << p;
      }
    });
  }
  for (int i = 0; i < 20; ++i) ASSERT_EQ(0, settings_.loadConfigSettings(ustring(dir_.Join("conf"))));
  for (auto& r : readers) r.join();
  EXPECT_EQ("/shared", settings_.getDbPath());
}

TEST_F(SettingsTest, PrintSettingsWritesDebugLinesInOrder) {
  dir_.WriteFile("levels", "client_debug = 7\n");
  ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, ustring(dir_.Join("log")), ustring(dir_.Join("levels")), 50));
  ASSERT_EQ(0, Load("is_daemon = false\nworker_count = 4\n"));
  settings_.print_settings();
  ASSERT_EQ(0, Logger::Initialize(Logger::STDERR_LOGGER, "", "", 50));
  const std::string log = dir_.ReadFile("log");
  const char* expected[] = {"======= Settings =======",
                            "db_path: /tmp/db.sqlite",
                            "pid_file_path: /var/run/tidewell-daemon.pid",
                            "log_file_path: /var/log/tidewell-daemon.log",
                            "log_level_file_path: /var/log/tidewell-daemon.debug",
                            "worker_count: 4",
                            "socket_path: /tmp/tidewell-socket",
                            "is_daemon: false",
                            "fstat_db_path: /tmp/file-status.sqlite",
                            "filter_db_path: /tmp/filter.sqlite"};
  std::istringstream in(log);
  std::string line;
  for (const char* text : expected) {
    ASSERT_TRUE(std::getline(in, line)) << "missing: " << text << "\nin\n" << log;
    // "<16-byte stamp>[DEBUG] app(<line>): <text>"
    ASSERT_GT(line.size(), 16u);
    EXPECT_EQ(0u, line.compare(16, 12, "[DEBUG] app(")) << line;
    const size_t close = line.find("): ");
    ASSERT_NE(std::string::npos, close) << line;
    EXPECT_EQ(text, line.substr(close + 3));
  }
  EXPECT_FALSE(std::getline(in, line)) << "unexpected: " << line;
}

}  // namespace
}  // namespace tidewell
