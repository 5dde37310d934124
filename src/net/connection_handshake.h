// The connection handshake that a task runs on a pooled connection before
// its requests: TCP (through the connection's channel kind), SSL when the
// pool asks for it, and the protocol's "connect" request, whose "alive"
// answer makes the connection reusable for that many seconds.
//
// The server event puller, the selective-sync resume task and the workers
// share this one implementation; the task kind selects their differences:
//   - log module and component ("syncer", "progress-syncer", "worker"), and
//     the workers' "Worker (<id>): " in front of their texts;
//   - the pullers ask for SSL with a separate "encrypt_channel" request
//     before "connect"; a worker asks with "do_ssl" inside "connect" and
//     converts after a granting reply;
//   - the resume task does not record the server's build;
//   - server error classes 8 to 10 are unhandled (0) for the pullers and
//     "Interrupted" for a worker, which also logs nothing for 0x3003.
// Class 11 (0xBxxx, "busy, try again") is "Interrupted" for every task.
//
// Thread-safety: the object is immutable; one task thread uses it with the
// connection it holds.

#ifndef TIDEWELL_NET_CONNECTION_HANDSHAKE_H_
#define TIDEWELL_NET_CONNECTION_HANDSHAKE_H_

#include <cstdint>
#include <functional>

#include "base/ustring.h"
#include "net/channel.h"
#include "net/connection.h"
#include "net/connection_pool.h"
#include "net/pobject.h"

namespace tidewell {

enum class HandshakeTask { kEventPuller, kResumePuller, kWorker };

class ConnectionHandshake {
 public:
  // A task's request routine: sends `request` after a header with
  // `command` and reads the reply. Returns 0 or a negative daemon code.
  using RequestRoutine = std::function<int(Channel& ch, uint8_t command, const PObject& request, PObject& reply)>;

  // `task_id` appears in the workers' texts. Without a routine the
  // handshake uses RunProtocol below.
  explicit ConnectionHandshake(HandshakeTask task, int task_id = 0, RequestRoutine routine = nullptr);

  // Closes the connection's channel and opens it to the pool's server
  // address and port. Returns 0 or the channel's code (logged).
  [[nodiscard]] int EstablishConnection(const ConnectionPool& pool, Connection& connection) const;

  // Makes sure `connection` is established for `view_id`: returns 0 at once
  // while it is alive; otherwise TCP, SSL if the pool uses it, and the
  // connect request. Returns 0 when the server granted an "alive" time (the
  // connection is then CONNECTED and alive); the channel's code when TCP
  // fails; ERR_IO when SSL fails or the server grants no time; the request
  // routine's code; for an error reply the mapped server error, or
  // ERR_SERVER when the code maps to 0 (the channel is then closed and
  // DISCONNECTED, as after every error reply). Every failure leaves the
  // connection not alive. A successful connect records the reply's
  // "pull_wait" on the connection.
  [[nodiscard]] int RequestChannel(const ConnectionPool& pool, Connection& connection, uint64_t view_id) const;

  // The daemon code for a server error code (bits 12-15 are its class);
  // see the file comment for the task differences.
  [[nodiscard]] int ProtoResp2ErrorCode(uint64_t code) const;

  // Adds the client description under "_agent" (sent as "agent").
  static void AppendAgent(PObject& request);

  // The pullers' request routine: header, request, then replies until one
  // that is not a keep-alive, waiting up to 90 seconds for it; the channel
  // time-out is 60 seconds afterwards. Returns 0, or ERR_IO after logging
  // the failed step.
  [[nodiscard]] int RunProtocol(Channel& ch, uint8_t command, const PObject& request, PObject& reply) const;

 private:
  const HandshakeTask task_;
  const int task_id_;
  const RequestRoutine routine_;
  const char* const module_;
  const ustring& component_;
};

}  // namespace tidewell

#endif  // TIDEWELL_NET_CONNECTION_HANDSHAKE_H_
