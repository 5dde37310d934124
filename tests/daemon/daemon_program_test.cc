// The tidewell-daemon program's start-up, port search and shutdown, driven
// as a user interface drives it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/daemon_process.h"
#include "common/temp_dir.h"

namespace tidewell {
namespace {

using testing::DaemonProcess;
using testing::TempDir;
using testing::UiEndpoint;

// A socket bound to 127.0.0.1:port, holding the port taken while it lives.
class PortHolder {
 public:
  explicit PortHolder(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }
  ~PortHolder() { ::close(fd_); }
  bool bound() const { return bound_; }

 private:
  int fd_;
  bool bound_;
};

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class DaemonProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(testing::DaemonProgram().c_str(), X_OK) != 0) GTEST_SKIP() << "tidewell-daemon is not built";
  }
  TempDir dir_;
  UiEndpoint ui_;
};

TEST_F(DaemonProgramTest, ThreeArgumentsExitMinusOneAndWriteNothing) {
  DaemonProcess daemon(dir_, ui_);
  daemon.StartWithArgs({daemon.config_path(), std::to_string(ui_.port()), "extra"});
  EXPECT_EQ(255, daemon.Wait());
  EXPECT_EQ("", daemon.Output());
  EXPECT_NE(0, access(daemon.log_path().c_str(), F_OK)) << "a log was written";
  EXPECT_TRUE(ui_.Notices().empty());
}

TEST_F(DaemonProgramTest, AnnouncesItsPortServesAndStopsWithEveryTaskEnded) {
  DaemonProcess daemon(dir_, ui_, {{"worker_count", "4"}});
  daemon.Start();
  EXPECT_GT(daemon.port(), ui_.port());
  EXPECT_NE(std::string::npos, daemon.Output().find("* Supported actions: \n    stop\n"));

  // Nothing linked, no session, no pool: the reply is the acknowledgement.
  PObject status = daemon.Request("get_status");
  EXPECT_EQ(ustring("ok"), status["ack"].asString());
  EXPECT_EQ(1u, status.size()) << status.toString().c_str_utf8();

  PObject linked = daemon.Request("link");
  EXPECT_FALSE(linked.hasMember("error")) << linked.toString().c_str_utf8();
  EXPECT_TRUE(daemon.WaitForLog("detector start"));
  // An unknown action, or one in other letter case, only gets the ack.
  PObject odd = daemon.Request("Stop");
  EXPECT_EQ(1u, odd.size());

  daemon.Request("stop");  // returns once the daemon has closed the connection
  EXPECT_EQ(0, daemon.Wait());
  std::string log = daemon.Log();
  // Four fixed tasks and worker_count - 1 workers, each ended before exit.
  EXPECT_NE(std::string::npos, log.find("totally 7 tasks"));
  EXPECT_EQ(3u, Count(log, ") down\n"));
  EXPECT_NE(std::string::npos, log.find("Syncer: stop working"));
  EXPECT_NE(std::string::npos, log.find("ProgressSyncer : stop working"));
  EXPECT_NE(std::string::npos, log.find("RecycleCleaner : stop working"));
  EXPECT_NE(std::string::npos, log.find("detector stop"));
  EXPECT_NE(std::string::npos, log.find("unlink daemon"));
  EXPECT_NE(std::string::npos, log.find("main thread down"));
  EXPECT_NE(std::string::npos, log.find("daemon stopped"));
}

TEST_F(DaemonProgramTest, WorkerCountIsClampedSoThatTheTableAlwaysHoldsAWorker) {
  struct Case {
    const char* setting;
    int tasks;  // the four fixed tasks and setting - 1 workers
  };
  const Case cases[] = {
      {"5", 8},    // as given
      {"1", 5},    // would leave no worker: raised to 2
      {"abc", 5},  // a word reads as 0
      {"-1", 67},  // read unsigned it is about four billion: 64
  };
  for (const Case& c : cases) {
    TempDir dir;
    UiEndpoint ui;
    DaemonProcess daemon(dir, ui, {{"worker_count", c.setting}});
    daemon.Start();
    EXPECT_FALSE(daemon.Request("link").hasMember("error")) << c.setting;
    daemon.Request("stop");
    EXPECT_EQ(0, daemon.Wait()) << c.setting;
    std::string log = daemon.Log();
    EXPECT_NE(std::string::npos, log.find("totally " + std::to_string(c.tasks) + " tasks")) << c.setting;
    EXPECT_EQ(static_cast<size_t>(c.tasks - 4), Count(log, ") down\n")) << c.setting;
  }
}

TEST_F(DaemonProgramTest, PortsAlreadyTakenAreSkipped) {
  // Four ports in a row below the system's range for outgoing connections,
  // so that no other test's connection takes one meanwhile.
  std::mt19937 rng(std::random_device{}());
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int base = 20000 + static_cast<int>(rng() % 10000);
    UiEndpoint ui(base);
    if (!ui.listening()) continue;
    PortHolder first(base + 1);
    PortHolder second(base + 2);
    {
      PortHolder probe(base + 3);
      if (!first.bound() || !second.bound() || !probe.bound()) continue;
    }
    DaemonProcess daemon(dir_, ui);
    daemon.Start();
    EXPECT_EQ(base + 3, daemon.port());
    std::string log = daemon.Log();
    EXPECT_EQ(2u, Count(log, "bind error, "));
    EXPECT_NE(std::string::npos, log.find("Bind port " + std::to_string(base + 1) + " failed, try next one"));
    EXPECT_NE(std::string::npos, log.find("Bind port " + std::to_string(base + 3) + " success"));
    daemon.Request("stop");
    EXPECT_EQ(0, daemon.Wait());
    return;
  }
  FAIL() << "no four free ports in a row found";
}

TEST_F(DaemonProgramTest, UiPortThatIsNoNumberIsZero) {
  DaemonProcess daemon(dir_, ui_);
  daemon.StartWithArgs({daemon.config_path(), "abc"});
  // The search starts at port 1; the notice cannot reach port 0.
  EXPECT_EQ(0, daemon.Wait());
  std::string log = daemon.Log();
  EXPECT_NE(std::string::npos, log.find("Try to bind port: 1\n"));
  EXPECT_NE(std::string::npos, log.find("Failed to connect to port : 0\n"));
}

TEST_F(DaemonProgramTest, UiPort65535LeavesNoPortToListenOn) {
  DaemonProcess daemon(dir_, ui_);
  daemon.StartWithArgs({daemon.config_path(), "65535"});
  EXPECT_EQ(0, daemon.Wait());
  std::string log = daemon.Log();
  EXPECT_NE(std::string::npos, log.find("Try to bind port: 65536\n"));
  EXPECT_NE(std::string::npos, log.find("Port number exceeds 65536\n"));
  EXPECT_NE(std::string::npos, log.find("failed to listen on port local_port.\n"));
  EXPECT_TRUE(ui_.Notices().empty());
}

TEST_F(DaemonProgramTest, TerminationSignalStopsInOrder) {
  DaemonProcess daemon(dir_, ui_);
  daemon.Start();
  EXPECT_FALSE(daemon.Request("link").hasMember("error"));
  ASSERT_TRUE(daemon.WaitForLog("detector start"));
  ASSERT_EQ(0, ::kill(daemon.pid(), SIGTERM));
  EXPECT_EQ(0, daemon.Wait());
  std::string log = daemon.Log();
  EXPECT_NE(std::string::npos, log.find("stop signal received"));
  EXPECT_NE(std::string::npos, log.find("detector stop"));
  EXPECT_NE(std::string::npos, log.find("main thread down"));
}

}  // namespace
}  // namespace tidewell
