// The control port as an attacker on the same machine sees it: other users
// are turned away unread, and malformed, oversized, overdeep or silent
// requests cost one connection each and change nothing. The hostile
// requests come from the printed seed; replay with TIDEWELL_SEED=<seed>.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/daemon_process.h"
#include "common/random.h"
#include "common/temp_dir.h"
#include "net/memory_channel.h"
#include "net/pstream.h"

namespace tidewell {
namespace {

using testing::DaemonProcess;
using testing::TempDir;
using testing::UiEndpoint;

std::string Encode(const PObject& obj) {
  MemoryChannel ch;
  PStream stream;
  EXPECT_EQ(0, stream.Send(ch, obj));
  return ch.output();
}

int ConnectTo(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads until the daemon closes the connection; the number of bytes it
// sent, or -1 when it did not close within `seconds`.
long DrainUntilClosed(int fd, int seconds) {
  long total = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return -1;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return total;  // closed (or reset)
    total += n;
  }
}

// Sends `bytes` as one control connection would, half-closes, and returns
// what the daemon answered before closing (its byte count).
long SendRaw(int port, const std::string& bytes) {
  int fd = ConnectTo(port);
  if (fd < 0) return -2;
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) break;  // the daemon gave up on us already
    off += static_cast<size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);
  long got = DrainUntilClosed(fd, 30);
  ::close(fd);
  return got;
}

// A user id that no account uses.
uid_t UnusedUid() {
  for (uid_t uid = 54321; uid < 60000; ++uid) {
    if (getpwuid(uid) == nullptr) return uid;
  }
  return 0;
}

class ControlLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(testing::DaemonProgram().c_str(), X_OK) != 0) GTEST_SKIP() << "tidewell-daemon is not built";
    daemon_.Start();
    ASSERT_FALSE(daemon_.Request("link").hasMember("error"));
    testing::WriteOpenRuleFiles(dir_, "s7/config");
    std::filesystem::create_directories(dir_.Join("s7/local"));
    PObject add;
    add["connection_id"] = 1;
    add["session_id"] = 7;
    add["view_id"] = 70;
    add["config_path"] = dir_.Join("s7/config");
    add["sync_folder"] = dir_.Join("s7/local");
    ASSERT_FALSE(daemon_.Request("add_session", add).hasMember("error"));
  }

  TempDir dir_;
  UiEndpoint ui_;
  DaemonProcess daemon_{dir_, ui_};
};

TEST_F(ControlLoopTest, AnotherUsersRequestIsClosedUnread) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  uid_t stranger = UnusedUid();
  ASSERT_NE(0u, stranger);
  PObject stop;
  stop["action"] = "stop";
  const std::string bytes = Encode(stop);
  const int port = daemon_.port();

  int report[2];
  ASSERT_EQ(0, ::pipe(report));
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only system calls from here on: this is a copy of a threaded process.
    long got = -3;
    if (::setgid(stranger) == 0 && ::setuid(stranger) == 0) got = SendRaw(port, bytes);
    ssize_t w = ::write(report[1], &got, sizeof got);
    ::_exit(w == sizeof got ? 0 : 1);
  }
  ::close(report[1]);
  long got = -4;
  ASSERT_EQ(static_cast<ssize_t>(sizeof got), ::read(report[0], &got, sizeof got));
  ::close(report[0]);
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  EXPECT_EQ(0, got) << "the stranger got an answer (or could not connect)";

  // The stop was not executed: the daemon answers its own user as before.
  const PObject status_reply = daemon_.Request("get_status");
  EXPECT_EQ(7u, status_reply["session_list"][0]["session_id"].asUInt64());
  EXPECT_TRUE(daemon_.WaitForLog("refused a control connection from user " + std::to_string(stranger)));
  EXPECT_EQ(-1, daemon_.Wait(0));
}

// Kinds of hostile requests, each a fresh connection that must get no
// answer and change nothing.
std::string Hostile(int kind, std::mt19937_64& rng) {
  switch (kind) {
    case 0: {  // garbage bytes
      std::string s(1 + rng() % 64, '\0');
      for (char& c : s) c = static_cast<char>(rng());
      s[0] = static_cast<char>(0x50 + rng() % 0x40);  // no valid tag starts this
      return s;
    }
    case 1: {  // a valid request cut short
      PObject req;
      req["action"] = "remove_session";
      req["session_id"] = 7;
      std::string s = Encode(req);
      return s.substr(0, 1 + rng() % (s.size() - 1));
    }
    case 2: {  // nested deeper than any request may be
      std::string s;
      for (int i = 0; i < 100; ++i) s += '\x41';
      return s;
    }
    case 3: {  // more values than a request may hold
      std::string s = "\x41";
      for (int i = 0; i < 5000; ++i) s += std::string("\x01\x01\x00", 3);
      return s + "\x40";
    }
    case 4: {  // a file region, which a control request never carries
      PObject req;
      req["action"] = "stop";
      std::string s = Encode(req);
      return s.substr(0, s.size() - 1) + std::string("\x10\x00\x01x\x30", 5) + std::string(9, '\x05');
    }
    default: {  // larger than any request may be: twenty 64 KiB strings
      std::string s = "\x41";
      std::string big(65535, 'x');
      for (int i = 0; i < 20; ++i) s += std::string("\x10\xff\xff", 3) + big;
      return s + "\x40";
    }
  }
}

// Waits until the session's first rescan is through, so that the status
// stays as it is unless a request changes it.
PObject SettledStatus(DaemonProcess& daemon) {
  return daemon.WaitForStatus(
      [](const PObject& s) { return s["session_list"][0]["status"].asString() == ustring("uptodate"); });
}

TEST_F(ControlLoopTest, TenThousandMalformedRequestsChangeNothing) {
  const PObject before = SettledStatus(daemon_);
  const uint64_t seed = testing::TestSeed();
  std::mt19937_64 rng(seed);
  constexpr int kRequests = 10000;
  int answered = 0;
  for (int i = 0; i < kRequests; ++i) {
    // Mostly cheap kinds; the expensive ones now and then.
    int kind = i % 500 == 0 ? 5 : static_cast<int>(rng() % 5);
    long got = SendRaw(daemon_.port(), Hostile(kind, rng));
    if (got != 0) {
      ++answered;
      ADD_FAILURE() << "kind " << kind << " request " << i << " got " << got << " (seed " << seed << ")";
      if (answered > 5) break;
    }
  }
  EXPECT_EQ(0, answered);
  PObject after = daemon_.Request("get_status");
  EXPECT_EQ(before, after) << before.toString().c_str_utf8() << "\n" << after.toString().c_str_utf8();
  EXPECT_EQ(-1, daemon_.Wait(0)) << "the daemon ended";
}

TEST_F(ControlLoopTest, WellFormedRequestsOfTheWrongShapeChangeNothing) {
  const PObject before = SettledStatus(daemon_);
  PObject not_a_map = PObject::array_type{PObject("stop")};
  PObject action_number;
  action_number["action"] = 7;
  PObject pause_text;  // a text id must not read as "every session"
  pause_text["action"] = "pause";
  pause_text["session_id"] = "7";
  PObject remove_text;
  remove_text["action"] = "remove_session";
  remove_text["session_id"] = "x";
  PObject add_numbers;
  add_numbers["action"] = "add_session";
  add_numbers["connection_id"] = 1;
  add_numbers["session_id"] = "8";
  add_numbers["view_id"] = 1;
  add_numbers["config_path"] = 5;
  add_numbers["sync_folder"] = 6;
  for (const PObject& req : {not_a_map, action_number}) {
    PObject reply = daemon_.Request(req);
    EXPECT_EQ(1u, reply.size()) << reply.toString().c_str_utf8();
  }
  EXPECT_EQ(ustring("Invalid parameters"), daemon_.Request(pause_text)["error"].asString());
  EXPECT_EQ(ustring("Invalid parameters"), daemon_.Request(remove_text)["error"].asString());
  EXPECT_EQ(ustring("Invalid parameters."), daemon_.Request(add_numbers)["error"].asString());
  EXPECT_EQ(before, daemon_.Request("get_status"));
}

TEST_F(ControlLoopTest, APeerThatNeverSendsHoldsTheLoopOnlyBriefly) {
  int silent = ConnectTo(daemon_.port());
  ASSERT_GE(silent, 0);
  // The next request waits behind the silent one and is then served.
  PObject reply = daemon_.Request("get_status");
  EXPECT_EQ(ustring("ok"), reply["ack"].asString());
  EXPECT_EQ(0, DrainUntilClosed(silent, 30)) << "the silent connection was not closed";
  ::close(silent);
  EXPECT_TRUE(daemon_.WaitForLog("Failed to recieve message from channel."));
}

TEST_F(ControlLoopTest, APeerThatTricklesItsRequestIsCutOff) {
  // A byte every half second keeps the connection from ever being idle;
  // the whole request still has only ten seconds.
  PObject req;
  req["action"] = "remove_session";
  req["session_id"] = 7;
  req["padding"] = std::string(64, 'p');
  const std::string bytes = Encode(req);
  int fd = ConnectTo(daemon_.port());
  ASSERT_GE(fd, 0);
  size_t sent = 0;
  bool cut = false;
  while (sent < bytes.size() && !cut) {
    if (::send(fd, bytes.data() + sent, 1, MSG_NOSIGNAL) != 1) {
      cut = true;
      break;
    }
    ++sent;
    pollfd p{fd, POLLIN, 0};
    // The pace of the trickle; a closed connection shows up here at once.
    if (::poll(&p, 1, 500) > 0) {
      char b;
      cut = ::recv(fd, &b, 1, MSG_DONTWAIT) <= 0;
    }
  }
  ::close(fd);
  EXPECT_TRUE(cut) << "the daemon read all " << bytes.size() << " bytes";
  EXPECT_LT(sent, bytes.size());
  EXPECT_TRUE(daemon_.WaitForLog("control request not received within 10000 ms, dropped"));
  // Nothing was executed, and the next request is served.
  const PObject status = daemon_.Request("get_status");
  EXPECT_EQ(7u, status["session_list"][0]["session_id"].asUInt64());
}

}  // namespace
}  // namespace tidewell
