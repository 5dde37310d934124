#include "cli/status_view.h"

#include <gtest/gtest.h>

namespace tidewell::cli {
namespace {

PObject Worker(uint64_t session, const char* path, const char* status, uint64_t progress, uint64_t total) {
  PObject w;
  w["session_id"] = static_cast<unsigned long long>(session);
  w["path"] = path;
  w["status"] = status;
  w["progress"] = static_cast<unsigned long long>(progress);
  w["total_size"] = static_cast<unsigned long long>(total);
  return w;
}

class StatusViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    in_.running = true;
    in_.server = "127.0.0.1:6690";
    in_.home = "/home/u";
    in_.sessions = {{1, "/home/u/Sync", "/", 1, false}, {2, "/data/photos", "/pics", 2, true},
                    {3, "/mnt/usb", "/", 1, false}};
    in_.excluded[1] = {"/Big"};
    in_.missing = {3};
    PObject s1, s2;
    s1["session_id"] = 1ull;
    s1["status"] = "syncing";
    s1["state"] = "ok";
    s1["unfinished_files"] = 12ull;
    s1["held_removals"] = 0ull;
    s2["session_id"] = 2ull;
    s2["status"] = "uptodate";
    s2["unfinished_files"] = 0ull;
    s2["state"] = "held";
    s2["held_removals"] = 40ull;
    s2["last_error"] = "the local folder looks emptied";
    in_.daemon["session_list"].asArray() = {s1, s2};
    PObject conn;
    conn["connection_id"] = 1ull;
    conn["status"] = "connected";
    in_.daemon["connection_list"].asArray() = {conn};
    in_.earlier = in_.daemon;
    in_.earlier["worker_list"].asArray() = {Worker(1, "/video.mkv", "uploading", 1000000, 11000000)};
    in_.daemon["worker_list"].asArray() = {Worker(1, "/video.mkv", "uploading", 3000000, 11000000),
                                          Worker(2, "/new.jpg", "downloading", 10, 100)};
    in_.seconds_between = 2;
  }
  StatusInput in_;
};

TEST_F(StatusViewTest, ModelJoinsStoredSessionsDaemonStateAndRates) {
  nlohmann::json s = BuildStatus(in_);
  EXPECT_EQ("connected", s["connection"]);
  ASSERT_EQ(3u, s["sessions"].size());
  EXPECT_EQ("syncing", s["sessions"][0]["state"]);
  EXPECT_EQ(12u, s["sessions"][0]["pending"].get<uint64_t>());
  EXPECT_EQ("/Big", s["sessions"][0]["excluded"][0]);
  // The daemon's own state word wins over the stored pause flag.
  EXPECT_EQ("held", s["sessions"][1]["state"]);
  EXPECT_EQ(40u, s["sessions"][1]["held_removals"].get<uint64_t>());
  EXPECT_EQ("the local folder looks emptied", s["sessions"][1]["last_error"]);
  // A stored session the daemon does not know: its folder is missing, or
  // the front end has not handed it over yet.
  EXPECT_EQ("folder missing", s["sessions"][2]["state"]);
  EXPECT_NE(std::string::npos, s["sessions"][2]["last_error"].get<std::string>().find("missing"));
  in_.missing.clear();
  EXPECT_EQ("not loaded", BuildStatus(in_)["sessions"][2]["state"]);
  ASSERT_EQ(2u, s["transfers"].size());
  EXPECT_EQ("upload", s["transfers"][0]["direction"]);
  EXPECT_EQ(1000000u, s["transfers"][0]["rate"].get<uint64_t>());  // 2 MB in 2 s
  EXPECT_EQ(8u, s["transfers"][0]["eta"].get<uint64_t>());
  EXPECT_TRUE(s["transfers"][1]["rate"].is_null());  // not seen before: no rate yet
}

TEST_F(StatusViewTest, TerminalShowsBarsAndHintsPlainShowsOneFactPerLine) {
  nlohmann::json s = BuildStatus(in_);
  const std::string term = RenderTerminal(s, 100);
  EXPECT_NE(std::string::npos, term.find("~/Sync  <->  view 1 /")) << term;
  EXPECT_NE(std::string::npos, term.find("[")) << term;
  EXPECT_NE(std::string::npos, term.find("27% 2.9 MiB of 10.5 MiB  976.6 KiB/s  8s left")) << term;
  EXPECT_NE(std::string::npos, term.find("tidewell resume --confirm-removals /data/photos")) << term;
  const std::string plain = RenderPlain(s);
  EXPECT_NE(std::string::npos, plain.find("session 2 held removals: 40\n")) << plain;
  EXPECT_NE(std::string::npos, plain.find("transfer: session 1 upload /video.mkv 3000000/11000000 bytes 1000000 B/s eta 8 s\n"))
      << plain;
  EXPECT_EQ(std::string::npos, plain.find("[#")) << plain;  // no bars for scripts
  for (const std::string& text : {term, plain}) {
    for (size_t at = 0, next; at < text.size(); at = next + 1) {
      next = text.find('\n', at);
      ASSERT_NE(std::string::npos, next) << "every line ends";
      EXPECT_LE(next - at, 100u) << text.substr(at, next - at);
    }
  }
}

TEST_F(StatusViewTest, NotRunningShowsStoredStateOnly) {
  in_.running = false;
  in_.daemon.clear();
  nlohmann::json s = BuildStatus(in_);
  EXPECT_EQ("not running", s["connection"]);
  EXPECT_EQ("stopped", s["sessions"][0]["state"]);
  EXPECT_EQ("paused", s["sessions"][1]["state"]);
  EXPECT_TRUE(s["transfers"].empty());
  EXPECT_NE(std::string::npos, RenderTerminal(s, 80).find("tidewell start"));
}

}  // namespace
}  // namespace tidewell::cli
