// The tidewell-relay program as an operator runs it.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error_code.h"
#include "net/conn_test_util.h"
#include "net/tunnel_channel.h"

namespace tidewell {
namespace {

using testing::ChildProcess;
using testing::EchoServer;
using testing::TempDir;

const std::string kRelay = std::string(TIDEWELL_BINARY_DIR) + "/src/tidewell-relay";

class RelayProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kRelay.c_str(), X_OK) != 0) GTEST_SKIP() << kRelay << " is not built";
    testing::WriteSelfSignedCert(dir_.Join("r.crt"), dir_.Join("r.key"), "relay");
  }

  // Starts the relay on a free port with the extra arguments (by default:
  // every port of 127.0.0.1 allowed) and returns the port.
  int StartRelay(ChildProcess& relay, std::vector<std::string> rules = {"--allow", "127.0.0.1:*"}) {
    std::vector<std::string> args = {kRelay, "--listen", "127.0.0.1", "--port", "0", "--cert", dir_.Join("r.crt"),
                                     "--key", dir_.Join("r.key")};
    args.insert(args.end(), rules.begin(), rules.end());
    relay.Start(args);
    const std::string kLine = "listening on 127.0.0.1 port ";
    EXPECT_TRUE(relay.WaitForOutput(kLine)) << relay.output();
    std::string out = relay.output();
    size_t at = out.find(kLine);
    return at == std::string::npos ? 0 : std::atoi(out.c_str() + at + kLine.size());
  }

  TempDir dir_;
};

TEST_F(RelayProgramTest, HelpDescribesTheCommandLine) {
  ChildProcess help;
  help.Start({kRelay, "--help"});
  EXPECT_EQ(0, help.Wait());
  std::string text = help.output();
  for (const char* option : {"--cert", "--key", "--listen", "--port", "--allow", "--allow-any", "--max-tunnels",
                             "--idle-timeout", "--log", "SIGTERM"}) {
    EXPECT_NE(std::string::npos, text.find(option)) << option;
  }
}

TEST_F(RelayProgramTest, RefusesBadCommandLinesAndMissingFiles) {
  ChildProcess none;
  none.Start({kRelay});
  EXPECT_EQ(1, none.Wait());
  EXPECT_NE(std::string::npos, none.output().find("--cert and --key are required"));

  ChildProcess port;
  port.Start({kRelay, "--cert", "a", "--key", "b", "--port", "70000"});
  EXPECT_EQ(1, port.Wait());

  ChildProcess both;
  both.Start({kRelay, "--cert", "a", "--key", "b", "--allow-any", "--allow", "10.0.0.5:4430"});
  EXPECT_EQ(1, both.Wait());
  EXPECT_NE(std::string::npos, both.output().find("--allow-any and --allow exclude each other")) << both.output();

  ChildProcess bad_allow;
  bad_allow.Start({kRelay, "--cert", "a", "--key", "b", "--allow", "10.0.0.5"});
  EXPECT_EQ(1, bad_allow.Wait());

  ChildProcess missing;
  missing.Start({kRelay, "--cert", dir_.Join("absent.crt"), "--key", dir_.Join("r.key"), "--port", "0"});
  EXPECT_EQ(2, missing.Wait());
  EXPECT_NE(std::string::npos, missing.output().find("absent.crt"));
}

TEST_F(RelayProgramTest, ServesTunnelsLogsThemAndStopsOnSigterm) {
  ChildProcess relay;
  int port = StartRelay(relay);
  ASSERT_GT(port, 0);
  EchoServer echo;
  {
    TunnelChannel ch(TunnelInfo{true, "127.0.0.1", static_cast<uint16_t>(port)});
    ASSERT_EQ(0, ch.Open("127.0.0.1", echo.port()));
    ASSERT_EQ(0, ch.Write("ping", 4));
    ASSERT_EQ(0, ch.FlushWrite(0));
    char back[4];
    ASSERT_EQ(0, ch.Read(back, 4));
    EXPECT_EQ(0, std::memcmp(back, "ping", 4));
  }
  // One line per tunnel, once it has ended.
  EXPECT_TRUE(relay.WaitForOutput("bytes to client")) << relay.output();
  std::string out = relay.output();
  EXPECT_NE(std::string::npos, out.find("to 127.0.0.1:" + std::to_string(echo.port()) + " ended (closed): 4 bytes "
                                        "to target, 4 bytes to client"))
      << out;
  relay.Signal(SIGTERM);
  EXPECT_EQ(0, relay.Wait());
  EXPECT_NE(std::string::npos, relay.output().find("stopped"));
}

// Without --allow the relay serves nothing: it says so at start, answers
// every tunnel with a refusal and logs why. --allow-any opens it, with a
// warning at start.
TEST_F(RelayProgramTest, ClosedUnlessTargetsAreAllowed) {
  EchoServer echo;
  const std::string target = "127.0.0.1:" + std::to_string(echo.port());
  {
    ChildProcess relay;
    int port = StartRelay(relay, {});
    ASSERT_GT(port, 0);
    EXPECT_TRUE(relay.WaitForOutput("no target allowed: every tunnel will be refused")) << relay.output();
    TunnelChannel ch(TunnelInfo{true, "127.0.0.1", static_cast<uint16_t>(port)});
    EXPECT_EQ(ERR_IO, ch.Open("127.0.0.1", echo.port()));
    EXPECT_TRUE(relay.WaitForOutput("to " + target + " refused: status 4 (target not allowed: no target is allowed "
                                    "on this relay)"))
        << relay.output();
    relay.Signal(SIGTERM);
    EXPECT_EQ(0, relay.Wait());
  }
  {
    ChildProcess relay;
    int port = StartRelay(relay, {"--allow", "127.0.0.1:1"});
    ASSERT_GT(port, 0);
    EXPECT_TRUE(relay.WaitForOutput("serving tunnels to 127.0.0.1:1")) << relay.output();
    TunnelChannel ch(TunnelInfo{true, "127.0.0.1", static_cast<uint16_t>(port)});
    EXPECT_EQ(ERR_IO, ch.Open("127.0.0.1", echo.port()));
    EXPECT_TRUE(relay.WaitForOutput("to " + target + " refused: status 4 (target not allowed: not in the --allow "
                                    "list)"))
        << relay.output();
    relay.Signal(SIGTERM);
    EXPECT_EQ(0, relay.Wait());
  }
  EXPECT_EQ(0, echo.connections());
  {
    ChildProcess relay;
    int port = StartRelay(relay, {"--allow-any"});
    ASSERT_GT(port, 0);
    EXPECT_TRUE(relay.WaitForOutput("serving tunnels to any target, loopback and private addresses included"))
        << relay.output();
    TunnelChannel ch(TunnelInfo{true, "127.0.0.1", static_cast<uint16_t>(port)});
    ASSERT_EQ(0, ch.Open("127.0.0.1", echo.port()));
    relay.Signal(SIGTERM);
    EXPECT_EQ(0, relay.Wait());
  }
}

TEST_F(RelayProgramTest, SigintEndsOpenTunnels) {
  ChildProcess relay;
  int port = StartRelay(relay);
  ASSERT_GT(port, 0);
  EchoServer echo;
  TunnelChannel ch(TunnelInfo{true, "127.0.0.1", static_cast<uint16_t>(port)});
  ASSERT_EQ(0, ch.Open("127.0.0.1", echo.port()));
  relay.Signal(SIGINT);
  EXPECT_EQ(0, relay.Wait());
  uint8_t b;
  EXPECT_EQ(ERR_IO, ch.ReadByte(b));
  EXPECT_NE(std::string::npos, relay.output().find("(relay stopping)")) << relay.output();
}

}  // namespace
}  // namespace tidewell
