#include "net/memory_channel.h"

#include <algorithm>
#include <cstring>

#include "base/error_code.h"

namespace tidewell {

namespace {

template <typename State>
class MemoryOps final : public ChannelOps {
 public:
  explicit MemoryOps(std::shared_ptr<State> state) : state_(std::move(state)) {}

  int read(uint8_t* buf, size_t len, const timeval&) override {
    if (len == 0) return ERR_INVAL;
    if (!open_) return ERR_IO;
    size_t left = state_->input.size() - state_->pos;
    if (left == 0) return ERR_IO;  // the peer has closed
    size_t n = std::min({len, left, state_->max_chunk, size_t{1} << 30});
    std::memcpy(buf, state_->input.data() + state_->pos, n);
    state_->pos += n;
    return static_cast<int>(n);
  }

  int write(const uint8_t* buf, size_t len, const timeval&) override {
    if (len == 0) return ERR_INVAL;
    if (!open_) return ERR_IO;
    size_t n = std::min({len, state_->max_chunk, size_t{1} << 30});
    state_->output.append(reinterpret_cast<const char*>(buf), n);
    return static_cast<int>(n);
  }

  int get_fd() const override { return -1; }
  void close() override { open_ = false; }
  bool isInvalid() const override { return !open_; }

 private:
  std::shared_ptr<State> state_;
  bool open_ = true;
};

}  // namespace

MemoryChannel::MemoryChannel(std::string input, size_t max_chunk, size_t capacity)
    : Channel(capacity), state_(std::make_shared<State>()) {
  state_->input = std::move(input);
  state_->max_chunk = max_chunk == 0 ? 1 : max_chunk;
  InstallOps(std::make_unique<MemoryOps<State>>(state_), false);
}

const std::string& MemoryChannel::output() const { return state_->output; }

size_t MemoryChannel::consumed() const { return state_->pos; }

}  // namespace tidewell
