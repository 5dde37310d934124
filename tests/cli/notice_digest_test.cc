#include "cli/notice_digest.h"

#include <gtest/gtest.h>

#include "base/error_code.h"

namespace tidewell::cli {
namespace {

PObject FileNotice(const char* kind, uint64_t session, const std::string& path, int type) {
  PObject n;
  n["notify"] = kind;
  n["session_id"] = static_cast<unsigned long long>(session);
  n["path"] = path;
  n["is_dir"] = 0;
  n["event_type"] = type;
  return n;
}

PObject ErrorNotice(std::optional<uint64_t> session, int code) {
  PObject n;
  n["notify"] = "error";
  if (session) n["session_id"] = static_cast<unsigned long long>(*session);
  else n["connection_id"] = 1;
  n["error_type"] = code;
  return n;
}

std::string Name(uint64_t id) { return "S" + std::to_string(id); }

TEST(NoticeDigestTest, AFloodBecomesOneLinePerSessionAndKind) {
  NoticeDigest d;
  for (int i = 0; i < 5000; ++i) d.Add(FileNotice("recent_file", 1, "/f" + std::to_string(i), 1), 100);
  for (int i = 0; i < 3; ++i) d.Add(FileNotice("recent_file", 1, "/g" + std::to_string(i), 2), 100);
  for (int i = 0; i < 7; ++i) d.Add(FileNotice("recent_file", 2, "/h" + std::to_string(i), 3), 100);
  for (int i = 0; i < 900; ++i) d.Add(FileNotice("syncing_file", 1, "/q" + std::to_string(i), 1), 100);
  const std::vector<std::string> lines = d.Flush(Name);
  const std::vector<std::string> expected = {
      "S1: added 5000 items: /f0, /f1, /f2, and 4997 more",
      "S1: removed 3 items: /g0, /g1, /g2",
      "S2: changed 7 items: /h0, /h1, /h2, and 4 more",
  };
  EXPECT_EQ(expected, lines);
  EXPECT_TRUE(d.Flush(Name).empty());  // each notice is shown once
  EXPECT_EQ(5003u, d.Summary(100)["sessions"]["1"]["synced"].get<uint64_t>());
}

TEST(NoticeDigestTest, CoalescedNoticesCountWhatTheyStandFor) {
  NoticeDigest d;
  PObject n = FileNotice("recent_file", 4, "/big", 1);
  n["count"] = 250;
  d.Add(n, 5);
  d.Add(FileNotice("recent_file", 4, "/one", 1), 5);
  EXPECT_EQ(std::vector<std::string>{"S4: added 251 items: /big, /one, and 249 more"}, d.Flush(Name));
}

TEST(NoticeDigestTest, RepeatedErrorsAreOneLineAndAgeOutOfTheSummary) {
  NoticeDigest d;
  for (int i = 0; i < 40; ++i) d.Add(ErrorNotice(std::nullopt, ERR_IO), 1000 + i);
  d.Add(ErrorNotice(3, ERR_QUOTA), 1000);
  PObject locked;
  locked["notify"] = "locked_file";
  locked["session_id"] = 3ull;
  locked["path"] = "/open.doc";
  d.Add(locked, 1000);
  d.Add(locked, 1001);
  const std::vector<std::string> expected = {
      "connection: error: cannot reach the server (40 times)",
      "S3: error: the quota on the server is used up",
      "S3: locked, will retry: /open.doc (2 times)",
  };
  EXPECT_EQ(expected, d.Flush(Name));
  nlohmann::json s = d.Summary(1100);
  ASSERT_EQ(1u, s["connection_errors"].size());
  EXPECT_EQ(40u, s["connection_errors"][0]["count"].get<uint64_t>());
  EXPECT_EQ("/open.doc", s["sessions"]["3"]["locked"][0].get<std::string>());
  // Once the file synchronises it is no longer listed as locked.
  d.Add(FileNotice("recent_file", 3, "/open.doc", 3), 1200);
  s = d.Summary(1200 + 400);
  EXPECT_TRUE(s["sessions"]["3"]["locked"].empty());
  EXPECT_TRUE(s["connection_errors"].empty());  // older than the window
}

}  // namespace
}  // namespace tidewell::cli
