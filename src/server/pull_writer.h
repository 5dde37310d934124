// Writes a pull reply straight onto the channel, in the value encoding of
// docs/value-encoding.md, without building a PObject per event: a page of
// a thousand events would otherwise cost tens of thousands of small
// allocations. The reply is the map {"alive", "event_list", "next_sync_id"}
// with each event's keys in the order the encoding requires (ascending).
//
// Not thread-safe; used by a connection's own thread.

#ifndef TIDEWELL_SERVER_PULL_WRITER_H_
#define TIDEWELL_SERVER_PULL_WRITER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "net/channel.h"
#include "server/store.h"

namespace tidewell::server {

// A pull reply ready to be written: the events (objects under `folder`, in
// order) and the id to continue from.
struct PullReply {
  std::string folder;
  std::vector<ObjectRow> events;
  uint64_t next_sync_id = 0;
};

// Writes {"alive": alive, "event_list": [...], "next_sync_id": ...} and
// flushes. Returns 0 or the channel's failure.
[[nodiscard]] int WritePullReply(Channel& ch, uint32_t alive, const PullReply& reply);

}  // namespace tidewell::server

#endif  // TIDEWELL_SERVER_PULL_WRITER_H_
