// Conversations with the server: a header and one value object as the
// request, one value object as the reply; the keep-alive control; the three
// forms of asking for SSL; connecting and disconnecting.
//
// Results are daemon codes (ERR_*) unless said otherwise. Thread-safe as far
// as the channel and stream are (one thread per connection).

#ifndef TIDEWELL_NET_PROTOCOL_REQUEST_H_
#define TIDEWELL_NET_PROTOCOL_REQUEST_H_

#include <cstdint>

#include "net/channel.h"
#include "net/pobject.h"
#include "net/protocol.h"
#include "net/pstream.h"

namespace tidewell {

struct SSLServiceReq {
  ProtocolVersion proto_ver;
  uint32_t ssl_option = 0;
};

struct SSLServiceResponse {
  uint8_t response_code = 0;
  uint32_t misc_response = 0;
};

// The step of an exchange that failed.
enum class ExchangeStep { kNone, kHeader, kRequest, kReply };

// Writes the header (payload length 0, `command`) and `request`, then reads
// objects until one whose "type" is not "keep_alive": that one is `reply`.
// Keep-alive objects are dropped, and the files their binaries made in the
// stream's receive location deleted. `reply` is decoded into what it holds
// when the call starts (so a binary member with a path continues that file);
// each keep-alive is decoded into a fresh copy of it. After a failed reply
// only the file of "file"."data" stays with `reply` (a download resumes
// from it; the caller deletes it when it drops the reply); the other
// binaries of the broken reply are deleted and emptied. While waiting for the
// reply the channel's time-out is `reply_timeout` seconds (0: leave it);
// the previous time-out is restored before returning.
// Returns 0; otherwise the channel's code when the header fails, or the
// PStream code (PStreamResult) of the request or the reply, with `failed`
// (if given) naming the step.
[[nodiscard]] int ProtoExchange(Channel& ch, PStream& ps, uint8_t command, const PObject& request, PObject& reply,
                                uint32_t reply_timeout, ExchangeStep* failed = nullptr);

// The client description sent with requests:
// {"platform": "Windows", "version": {"major": 2, "minor": 1, "build": 2572}}.
PObject ClientAgent();

// Header with command 2, then sections 42 = 0, 43 = 1 and 30 = `seconds`,
// flushed. Returns 0 or the failing step's code.
[[nodiscard]] int ProtoWriteKeepAliveControl(Channel& ch, uint32_t seconds);

// Flush, header with command 20, flush.
[[nodiscard]] int ProtoWriteSSLServiceRequest(Channel& ch);

// The section form: header with command 22, the protocol version (41) and
// the option (45), flushed; then the answer: a header with command 22
// (ERR_PROTO otherwise), the response code (section 1) and, unless that code
// is 10, the misc option (section 46), stored in `response`.
[[nodiscard]] int ProtoWriteSSLServiceRequest2OLD(Channel& ch, const SSLServiceReq& request,
                                                  SSLServiceResponse* response = nullptr);

// The value-object form: {"_action": "encrypt_channel", "proto_ver",
// "ssl_option", "_agent"} with command 22. Returns 0 when the reply has no
// "error"; for an error reply its "code" 2 gives ERR_SERVER, 10
// ERR_VERSION, anything else ERR_SYS; ERR_IO when the exchange fails.
[[nodiscard]] int ProtoWriteSSLServiceRequest2(Channel& ch, const SSLServiceReq& request);

// Opens the channel to `address` and `port`: 0, or -1 on failure.
[[nodiscard]] int ProtoConnect(Channel& ch, const char* address, int port);
// Closes the channel: 0.
int ProtoDisconnect(Channel& ch);

}  // namespace tidewell

#endif  // TIDEWELL_NET_PROTOCOL_REQUEST_H_
