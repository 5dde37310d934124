// A channel over memory: reads are served from a fixed byte string, flushed
// writes are collected. It lets the encodings be checked byte by byte and
// fuzzed without sockets. Not thread-safe.

#ifndef TIDEWELL_NET_MEMORY_CHANNEL_H_
#define TIDEWELL_NET_MEMORY_CHANNEL_H_

#include <cstdint>
#include <memory>
#include <string>

#include "net/channel.h"

namespace tidewell {

class MemoryChannel : public Channel {
 public:
  // `input` is what the channel will read; each low-level read hands out at
  // most `max_chunk` bytes (small values exercise the buffer wrap). Reading
  // past the end fails as a closed peer does (ERR_IO).
  explicit MemoryChannel(std::string input = {}, size_t max_chunk = SIZE_MAX,
                         size_t capacity = kDefaultCapacity);

  // Everything flushed so far.
  const std::string& output() const;
  // Input bytes taken by the channel so far (buffered ones included).
  size_t consumed() const;

 private:
  struct State {
    std::string input;
    size_t pos = 0;
    size_t max_chunk;
    std::string output;
  };
  // Shared with the operations object, which may be closed and dropped
  // while the collected output stays readable.
  std::shared_ptr<State> state_;
};

}  // namespace tidewell

#endif  // TIDEWELL_NET_MEMORY_CHANNEL_H_
