#include "relay/relay_request.h"

#include <gtest/gtest.h>

#include "net/tunnel_crypto.h"

namespace tidewell {
namespace {

std::string Request(const std::string& host, const std::string& port, const std::string& token,
                    const std::string& upgrade = "VeltronaTunnel") {
  return "GET /velt-tunnel HTTP/1.1\r\nHost: tidewell-relay\r\nUpgrade: " + upgrade + "\r\nX-Target-Host: " + host +
         "\r\nX-Target-Port: " + port + "\r\nX-AuthToken: " + token + "\r\n\r\n";
}

TEST(RelayRequestTest, ParsesTheClientRequestAndChecksItsToken) {
  std::string token = MakeTunnelToken("10.1.2.3:4430");
  RelayRequest r;
  ASSERT_EQ(kRelayConnected, ParseRelayRequest(Request("10.1.2.3", "4430", token), r));
  EXPECT_EQ("10.1.2.3", r.target_host);
  EXPECT_EQ(4430, r.target_port);
  EXPECT_TRUE(RelayTokenMatches(r));

  // The same token for another target is refused.
  ASSERT_EQ(kRelayConnected, ParseRelayRequest(Request("10.1.2.3", "4431", token), r));
  EXPECT_FALSE(RelayTokenMatches(r));
  ASSERT_EQ(kRelayConnected, ParseRelayRequest(Request("10.1.2.4", "4430", token), r));
  EXPECT_FALSE(RelayTokenMatches(r));
}

TEST(RelayRequestTest, HeaderNamesInAnyCaseAndBareLineFeeds) {
  std::string token = MakeTunnelToken("h:1");
  std::string req = "GET /velt-tunnel HTTP/1.0\nupgrade: veltronatunnel\nx-target-host:h\nX-TARGET-PORT:  1\n"
                    "x-authtoken: " + token + "\n\n";
  RelayRequest r;
  ASSERT_EQ(kRelayConnected, ParseRelayRequest(req, r));
  EXPECT_TRUE(RelayTokenMatches(r));
}

TEST(RelayRequestTest, RefusesWhatIsNoTunnelRequest) {
  std::string token = MakeTunnelToken("h:1");
  RelayRequest r;
  EXPECT_EQ(kRelayBadRequest, ParseRelayRequest(Request("h", "1", token, "websocket"), r));
  EXPECT_EQ(kRelayBadRequest, ParseRelayRequest(Request("h", "0", token), r));
  EXPECT_EQ(kRelayBadRequest, ParseRelayRequest(Request("h", "65536", token), r));
  EXPECT_EQ(kRelayBadRequest, ParseRelayRequest(Request("h", "1x", token), r));
  EXPECT_EQ(kRelayBadRequest, ParseRelayRequest(Request("h", "1", ""), r));
  EXPECT_EQ(kRelayBadRequest, ParseRelayRequest(Request("h", "1", "a b"), r));
  EXPECT_EQ(kRelayBadRequest, ParseRelayRequest(Request("", "1", token), r));
  EXPECT_EQ(kRelayBadRequest, ParseRelayRequest("POST /velt-tunnel HTTP/1.1\r\n\r\n", r));
  EXPECT_EQ(kRelayBadRequest, ParseRelayRequest("GET / HTTP/1.1\r\n\r\n", r));
  EXPECT_EQ(kRelayBadRequest, ParseRelayRequest("garbage", r));
  std::string no_colon = "GET /velt-tunnel HTTP/1.1\r\nUpgrade VeltronaTunnel\r\n\r\n";
  EXPECT_EQ(kRelayBadRequest, ParseRelayRequest(no_colon, r));
}

TEST(RelayRequestTest, FindsTheEndOfTheHeader) {
  EXPECT_EQ(std::string::npos, FindHeaderEnd("GET / HTTP/1.1\r\nA: b\r\n"));
  EXPECT_EQ(18u, FindHeaderEnd("GET / HTTP/1.1\r\n\r\nrest"));
  EXPECT_EQ(16u, FindHeaderEnd("GET / HTTP/1.1\n\nrest"));
}

TEST(RelayRequestTest, AnswersCarryTheStatus) {
  std::string ok = FormatRelayResponse(kRelayConnected);
  EXPECT_EQ(0u, ok.find("HTTP/1.1 101 "));
  EXPECT_NE(std::string::npos, ok.find("\r\nX-Target-Status: 0\r\n"));
  EXPECT_EQ(ok.size() - 4, ok.find("\r\n\r\n"));
  std::string bad = FormatRelayResponse(kRelayUnreachable);
  EXPECT_NE(std::string::npos, bad.find("\r\nX-Target-Status: 3\r\n"));
  EXPECT_EQ(bad.size() - 4, bad.find("\r\n\r\n"));
}

}  // namespace
}  // namespace tidewell
