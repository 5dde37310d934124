// What a user interface learns from SendControlRequest when the daemon
// misbehaves: each way of failing gets its own code, so the front end can
// say "did not answer in time" apart from "went away" or "spoke nonsense".

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "base/error_code.h"
#include "common/loopback.h"
#include "daemon/control_client.h"
#include "net/pobject.h"

namespace tidewell {
namespace {

using testing::LoopbackListener;

enum class Peer { kSilent, kHangsUp, kGarbage };

struct Case {
  const char* name;
  Peer peer;
  int want;
};

TEST(ControlClientTest, EachFailureOfThePeerHasItsOwnCode) {
  const Case cases[] = {
      {"accepts and never answers", Peer::kSilent, ERR_TIMEOUT},
      {"closes without a reply", Peer::kHangsUp, ERR_IO},
      {"answers bytes that are no value", Peer::kGarbage, ERR_PROTO},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackListener listener;
    std::thread peer([&] {
      const int fd = listener.Accept();
      if (fd < 0) return;
      char buf[256];
      // Take the request first, so a hang-up is not a reset mid-send.
      (void)recv(fd, buf, sizeof buf, 0);
      if (c.peer == Peer::kGarbage) {
        const unsigned char junk[] = {0xee, 0xee, 0xee, 0xee};
        (void)send(fd, junk, sizeof junk, MSG_NOSIGNAL);
        shutdown(fd, SHUT_WR);
      }
      if (c.peer == Peer::kSilent) {
        // Held open until the client gives up and closes its end.
        while (recv(fd, buf, sizeof buf, 0) > 0) {
        }
      }
      close(fd);
    });
    PObject request;
    request["action"] = "get_status";
    PObject reply;
    EXPECT_EQ(SendControlRequest(listener.port(), request, reply, 1), c.want);
    listener.Close();
    peer.join();
  }
}

TEST(ControlClientTest, NoDaemonListeningIsAnIoError) {
  PObject request;
  request["action"] = "get_status";
  PObject reply;
  EXPECT_EQ(SendControlRequest(testing::UnusedLoopbackPort(), request, reply, 1), ERR_IO);
  EXPECT_EQ(SendControlRequest(0, request, reply, 1), ERR_INVAL);
}

}  // namespace
}  // namespace tidewell
