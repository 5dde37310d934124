// The files the front end writes and other parts read back: the stored
// connection and sessions, the daemon's configuration file (read by the
// daemon's own settings loader), and the session rule files (read by the
// project's rule readers).

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "base/config.h"
#include "base/settings.h"
#include "cli/daemon_files.h"
#include "cli/session_rules.h"
#include "cli/store.h"
#include "common/temp_dir.h"
#include "filter/black_list.h"
#include "filter/white_list_cpp.h"

namespace tidewell::cli {
namespace {

class SettingsFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_.config_dir = dir_.Join("config dir");
    paths_.state_dir = dir_.Join("state \"dir\"");
    paths_.runtime_dir = dir_.Join("run");
    std::string error;
    ASSERT_EQ(0, EnsureFolders(paths_, error)) << error;
  }
  testing::TempDir dir_;
  Paths paths_;
};

TEST(XdgPathsTest, VariablesWinOverHomeAndRelativeOnesAreIgnored) {
  std::map<std::string, std::string> env = {{"HOME", "/home/u"}, {"XDG_CONFIG_HOME", "relative/cfg"},
                                            {"XDG_STATE_HOME", "/st/"}, {"XDG_RUNTIME_DIR", "/run/user/7"}};
  auto lookup = [&](const char* name) -> const char* {
    auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  };
  Paths p;
  std::string error;
  ASSERT_EQ(0, ResolvePaths(lookup, 7, p, error));
  EXPECT_EQ("/home/u/.config/tidewell", p.config_dir);  // a relative value is ignored
  EXPECT_EQ("/st/tidewell", p.state_dir);
  EXPECT_EQ("/run/user/7/tidewell", p.runtime_dir);
  env.erase("XDG_RUNTIME_DIR");
  ASSERT_EQ(0, ResolvePaths(lookup, 7, p, error));
  EXPECT_EQ("/tmp/tidewell-7", p.runtime_dir);
  env.clear();
  EXPECT_EQ(-1, ResolvePaths(lookup, 7, p, error));
  EXPECT_NE(std::string::npos, error.find("HOME"));
}

TEST_F(SettingsFilesTest, ConnectionAndSessionsRoundTripAndTheTokenFileIsPrivate) {
  ConnectionSettings c, back;
  std::string error;
  EXPECT_EQ(0, LoadConnection(paths_, back, error));  // nothing stored yet
  c.host = "sync.example";
  c.port = 6690;
  c.token = "0123456789abcdef0123456789abcdef";
  c.view = 3;
  c.use_ssl = true;
  c.ca_file = "/etc/ca.pem";
  c.connection_id = 9;
  c.client_name = "laptop";
  ASSERT_EQ(0, SaveConnection(paths_, c, error)) << error;
  ASSERT_EQ(1, LoadConnection(paths_, back, error)) << error;
  EXPECT_EQ(c.host, back.host);
  EXPECT_EQ(c.port, back.port);
  EXPECT_EQ(c.token, back.token);
  EXPECT_EQ(c.view, back.view);
  EXPECT_TRUE(back.use_ssl);
  EXPECT_EQ(c.ca_file, back.ca_file);
  EXPECT_EQ(c.connection_id, back.connection_id);
  EXPECT_EQ(c.client_name, back.client_name);
  struct stat st;
  ASSERT_EQ(0, stat(paths_.ConnectionFile().c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);

  std::vector<SessionRecord> sessions(2), loaded;
  sessions[0] = {1, "/home/u/Sync", "/", 3, false};
  sessions[1] = {4, "/data/w ork", "/team/docs", 5, true};
  ASSERT_EQ(0, SaveSessions(paths_, sessions, error)) << error;
  ASSERT_EQ(0, LoadSessions(paths_, loaded, error)) << error;
  ASSERT_EQ(2u, loaded.size());
  EXPECT_EQ("/data/w ork", loaded[1].folder);
  EXPECT_EQ("/team/docs", loaded[1].remote_path);
  EXPECT_TRUE(loaded[1].paused);
  EXPECT_EQ(5u, NextSessionId(loaded));
  EXPECT_EQ(4u, FindSession(loaded, "/data/w ork")->id);
  EXPECT_FALSE(FindSession(loaded, "/data").has_value());
}

TEST_F(SettingsFilesTest, BrokenFilesAreReportedNotReadAsEmpty) {
  struct Case {
    const char* file;
    const char* text;
  } cases[] = {
      {"connection.json", "{not json"},
      {"connection.json", "{\"host\": \"h\", \"port\": \"6690\", \"token\": \"t\"}"},  // port of the wrong type
      {"connection.json", "{\"host\": \"h\", \"port\": 6690}"},                      // no token
      {"sessions.json", "[]"},
      {"sessions.json", "{\"sessions\": [{\"id\": 1, \"folder\": \"relative\"}]}"},
      {"sessions.json", "{\"sessions\": [{\"id\": 0, \"folder\": \"/a\"}]}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + ": " + c.text);
    dir_.WriteFile(std::string("config dir/") + c.file, c.text);
    std::string error;
    if (std::string(c.file) == "connection.json") {
      ConnectionSettings s;
      EXPECT_EQ(-1, LoadConnection(paths_, s, error));
    } else {
      std::vector<SessionRecord> s;
      EXPECT_EQ(-1, LoadSessions(paths_, s, error));
    }
    EXPECT_NE(std::string::npos, error.find(c.file)) << error;
  }
}

TEST_F(SettingsFilesTest, CanonicalFolderResolvesLinksAndCleansMissingPaths) {
  dir_.WriteFile("real/x", "");
  ASSERT_EQ(0, symlink(dir_.Join("real").c_str(), dir_.Join("link").c_str()));
  EXPECT_EQ(CanonicalFolder(dir_.Join("real")), CanonicalFolder(dir_.Join("link/")));
  EXPECT_EQ("/no/such/b", CanonicalFolder("/no/such/./a/../b//"));
}

TEST_F(SettingsFilesTest, DaemonConfigurationReadsBackThroughTheDaemonsLoader) {
  DaemonLaunch launch;
  launch.ui_port = 45123;
  launch.worker_count = 4;
  launch.client_name = "laptop";
  std::string error;
  ASSERT_EQ(0, WriteDaemonFiles(paths_, launch, error)) << error;
  std::map<ustring, ustring> keys;
  ASSERT_EQ(0, ReadConfigFile(ustring(paths_.DaemonConfigFile()), keys));
  // Paths with blanks and double quotes survive quoting.
  EXPECT_EQ(ustring(paths_.DaemonLogFile()), keys[ustring("log_file_path")]);
  EXPECT_EQ(ustring(paths_.FileStatusDbFile()), keys[ustring("fstat_db_path")]);
  EXPECT_EQ(ustring(paths_.FilterDbFile()), keys[ustring("filter_db_path")]);
  EXPECT_EQ(ustring(paths_.SystemFilterFile()), keys[ustring("system_filter_path")]);
  Settings& settings = Settings::getInstance();
  ASSERT_EQ(0, settings.loadConfigSettings(ustring(paths_.DaemonConfigFile())));
  EXPECT_EQ(45123, settings.getUIPort());
  EXPECT_EQ(4u, settings.getWorkerCount());
  EXPECT_EQ(ustring(paths_.LogLevelFile()), settings.getLogLevelFilePath());
  // The system filter the daemon must be able to load excludes nothing.
  BlackList2 system;
  ASSERT_EQ(0, system.Load(ustring(paths_.SystemFilterFile())));
  EXPECT_EQ(0, system.TestFilePath("/any/file.tmp"));
  // A value that no quoting can carry is refused, not written broken.
  Paths odd = paths_;
  odd.state_dir = "/x\"y'z";
  EXPECT_EQ(-1, WriteDaemonFiles(odd, launch, error));
  EXPECT_NE(std::string::npos, error.find("log_file_path"));
}

TEST_F(SettingsFilesTest, NewSessionRulesAdmitEveryNameAndExcludeNothing) {
  const std::string session = dir_.Join("s/1");
  std::string error;
  ASSERT_EQ(0, CreateSessionFolder(session, error)) << error;
  BlackList2 black;
  WhiteListCpp white;
  ASSERT_EQ(0, black.Load(ustring(BlackListFile(session))));
  ASSERT_EQ(0, white.Load(ustring(WhiteListFile(session))));
  for (const char* name : {"a.txt", "Makefile", ".hidden", "archive.tar.gz", "x."}) {
    EXPECT_EQ(0, white.Test(ustring(name))) << name;
    EXPECT_EQ(0, black.TestFilePath(ustring(std::string("/d/") + name))) << name;
  }
  EXPECT_EQ(0, black.TestDirectoryPath("/d/e"));
}

TEST_F(SettingsFilesTest, SelectiveSyncEditsGoThroughTheRuleFile) {
  const std::string session = dir_.Join("s/2");
  std::string error;
  ASSERT_EQ(0, CreateSessionFolder(session, error)) << error;
  const std::string rules = BlackListFile(session);
  struct Step {
    const char* path;
    bool exclude;
    SelectiveSyncEdit expect;
    const char* message_has;
  } steps[] = {
      {"/Photos", true, kEditChanged, "excluded"},
      {"/photos", true, kEditUnchanged, "already"},              // the matcher ignores ASCII case
      {"/Photos/2019", true, kEditUnchanged, "with '/Photos'"},  // covered by the folder above
      {"/Photos/2019", false, kEditFailed, "inside the excluded folder '/Photos'"},
      {"/Work", true, kEditChanged, "excluded"},
      {"/Docs", false, kEditUnchanged, "not excluded"},
      {"/PHOTOS", false, kEditChanged, "included again"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(std::string(s.exclude ? "exclude " : "include ") + s.path);
    std::string message;
    EXPECT_EQ(s.expect, EditSelectiveSync(rules, s.path, s.exclude, message));
    EXPECT_NE(std::string::npos, message.find(s.message_has)) << message;
  }
  std::vector<std::string> left;
  ASSERT_EQ(0, ExcludedFolders(rules, left));
  EXPECT_EQ(std::vector<std::string>{"/Work"}, left);
  BlackList2 black;
  ASSERT_EQ(0, black.Load(ustring(rules)));
  EXPECT_EQ(FILTER_PATH_PREFIX_SELECTIVE_SYNC, black.TestFilePath("/Work/plan.txt"));
  EXPECT_EQ(0, black.TestFilePath("/Photos/a.jpg"));
  EXPECT_EQ(0, black.TestFilePath("/Workshop/a.txt"));
}

TEST(SessionPathTest, LocalAndSessionFormsGiveTheSamePath) {
  struct Case {
    const char* path;
    const char* expect;  // null: refused
  } cases[] = {
      {"/home/u/Sync/a/b", "/a/b"},  // inside the local folder
      {"a/b/", "/a/b"},              // session-relative, trailing slash dropped
      {"/a//b", "/a/b"},
      {"/home/u/Sync", nullptr},  // the whole session
      {"/", nullptr},
      {"a/../b", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string out, error;
    int rc = SessionRelativePath("/home/u/Sync", c.path, out, error);
    if (c.expect == nullptr) {
      EXPECT_EQ(-1, rc);
      EXPECT_FALSE(error.empty());
    } else {
      ASSERT_EQ(0, rc) << error;
      EXPECT_EQ(c.expect, out);
    }
  }
}

}  // namespace
}  // namespace tidewell::cli
