#include "net/channel.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "base/error_code.h"
#include "net/net_log.h"

namespace tidewell {

namespace {

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Channel::Channel(size_t capacity)
    : capacity_(capacity > 0 ? capacity : kDefaultCapacity),
      w_buf(new uint8_t[capacity_]),
      r_buf(new uint8_t[capacity_]) {}

Channel::~Channel() { Close(); }

bool Channel::IsClosed() const { return m_ops == nullptr || m_ops->isInvalid(); }

int Channel::GetFd() const { return m_ops == nullptr ? -1 : m_ops->get_fd(); }

void Channel::InstallOps(std::unique_ptr<ChannelOps> ops, bool is_ssl) {
  m_ops = std::move(ops);
  m_isSSL = is_ssl && m_ops != nullptr;
  ClearRead();
  ClearWrite();
}

int Channel::Close() {
  if (!IsClosed()) {
    int rc = FlushWrite(0);
    if (rc < 0) {
      CH_LOG_WARN("FlushWrite: %s", GetErrorString(rc));
      ClearRead();
      ClearWrite();
    }
  }
  if (m_ops != nullptr) m_ops->close();
  m_ops.reset();
  m_isSSL = false;
  ClearRead();
  ClearWrite();
  return ERR_OK;
}

void Channel::ClearRead() {
  r_head = 0;
  r_size = 0;
}

void Channel::ClearWrite() {
  w_head = 0;
  w_size = 0;
}

int Channel::GetPeerInfo(std::string&, int&) { return ERR_SYS; }

bool Channel::TimedOut(int64_t last_progress_ns) const {
  if (channel_timeout == 0) return false;
  int64_t waited = NowNs() - last_progress_ns;
  return waited >= static_cast<int64_t>(channel_timeout) * 1000000000LL;
}

int Channel::FlushWrite(size_t want) {
  if (IsClosed()) return w_size == 0 ? ERR_OK : ERR_IO;
  if (want == 0 || want > w_size) want = w_size;
  size_t sent = 0;
  int64_t last_progress = NowNs();
  while (sent < want) {
    if (Aborted()) return ERR_INT;
    size_t chunk = std::min(w_size, capacity_ - w_head);
    int n = m_ops->write(w_buf.get() + w_head, chunk, m_timeout);
    if (n > 0) {
      size_t done = static_cast<size_t>(n);
      w_head += done;
      w_size -= done;
      if (w_head == capacity_ || w_size == 0) w_head = 0;
      sent += done;
      last_progress = NowNs();
    } else if (n == ERR_TIMEOUT) {
      if (TimedOut(last_progress)) {
        CH_LOG_WARN("FlushWrite: Channel timeout for %u seconds", channel_timeout);
        return ERR_TIMEOUT;
      }
    } else {
      return n < 0 ? n : ERR_IO;
    }
  }
  return ERR_OK;
}

int Channel::ReadMore(size_t want) {
  if (want == 0) return ERR_OK;
  if (IsClosed()) return ERR_IO;
  if (want > capacity_ - r_size) return ERR_INVAL;
  size_t received = 0;
  int64_t last_progress = NowNs();
  while (received < want) {
    if (Aborted()) return ERR_INT;
    if (r_size == 0) r_head = 0;
    size_t tail = r_head + r_size;
    uint8_t* dst;
    size_t room;
    if (tail < capacity_) {
      dst = r_buf.get() + tail;
      room = capacity_ - tail;
    } else {
      dst = r_buf.get() + (tail - capacity_);
      room = r_head - (tail - capacity_);
    }
    int n = ReadStep(dst, room, last_progress);
    if (n < 0) return n;
    r_size += static_cast<size_t>(n);
    received += static_cast<size_t>(n);
  }
  return ERR_OK;
}

int Channel::ReceiveInto(uint8_t* dst, size_t len, size_t& got) {
  got = 0;
  int64_t last_progress = NowNs();
  while (got < len) {
    if (Aborted()) return ERR_INT;
    int n = ReadStep(dst + got, len - got, last_progress);
    if (n < 0) return n;
    got += static_cast<size_t>(n);
  }
  return ERR_OK;
}

int Channel::ReadStep(uint8_t* dst, size_t room, int64_t& last_progress_ns) {
  int n = m_ops->read(dst, room, m_timeout);
  if (n > 0) {
    last_progress_ns = NowNs();
    return n;
  }
  if (n != ERR_TIMEOUT) return n < 0 ? n : ERR_IO;
  if (TimedOut(last_progress_ns)) {
    CH_LOG_DEBUG("ReadMore: Channel timeout for %u seconed", channel_timeout);
    return ERR_TIMEOUT;
  }
  return 0;
}

int Channel::Read(void* buf, size_t len) {
  size_t count = 0;
  return Read(buf, len, count);
}

int Channel::Read(void* buf, size_t len, size_t& count) {
  count = 0;
  if (IsClosed()) return ERR_IO;
  uint8_t* out = static_cast<uint8_t*>(buf);

  // Whatever is buffered goes first, in up to two pieces around the wrap.
  while (count < len && r_size > 0) {
    size_t piece = std::min({len - count, r_size, capacity_ - r_head});
    std::memcpy(out + count, r_buf.get() + r_head, piece);
    count += piece;
    r_head += piece;
    r_size -= piece;
    if (r_head == capacity_ || r_size == 0) r_head = 0;
  }

  // A large remainder goes straight into the caller's buffer: it saves a
  // copy per block, and asking for no more than is missing never takes
  // bytes of the next message.
  if (len - count >= capacity_ / 2) {
    size_t got = 0;
    int rc = ReceiveInto(out + count, len - count, got);
    count += got;
    return rc;
  }

  // The buffer is empty now; refill it one block at a time.
  while (count < len) {
    size_t want = std::min(len - count, capacity_);
    int rc = ReadMore(want);
    if (rc < 0) {
      size_t got = std::min(r_size, len - count);
      std::memcpy(out + count, r_buf.get(), got);
      count += got;
      ClearRead();
      return rc;
    }
    std::memcpy(out + count, r_buf.get(), want);
    count += want;
    r_head = want;
    r_size -= want;
    if (r_size == 0) r_head = 0;
  }
  return ERR_OK;
}

int Channel::Write(const void* buf, size_t len) {
  if (IsClosed()) return ERR_IO;
  if (len > capacity_) {
    CH_LOG_WARN("Write: Exceed maximum data block size");
    return ERR_INVAL;
  }
  if (w_size + len > capacity_) {
    int rc = FlushWrite(w_size + len - capacity_);
    if (rc < 0) {
      CH_LOG_WARN("Write: FlushWrite failed");
      return rc;
    }
  }
  const uint8_t* in = static_cast<const uint8_t*>(buf);
  size_t tail = (w_head + w_size) % capacity_;
  size_t first = std::min(len, capacity_ - tail);
  std::memcpy(w_buf.get() + tail, in, first);
  if (first < len) std::memcpy(w_buf.get(), in + first, len - first);
  w_size += len;
  return ERR_OK;
}

int Channel::ReadByte(uint8_t& value) {
  uint8_t b;
  int rc = Read(&b, 1);
  if (rc == 0) value = b;
  return rc;
}

int Channel::ReadInt16(uint16_t& value) {
  uint8_t b[2];
  int rc = Read(b, sizeof b);
  if (rc == 0) value = static_cast<uint16_t>((b[0] << 8) | b[1]);
  return rc;
}

int Channel::ReadInt32(uint32_t& value) {
  uint8_t b[4];
  int rc = Read(b, sizeof b);
  if (rc == 0) {
    value = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
  }
  return rc;
}

int Channel::ReadInt64(uint64_t& value) {
  uint8_t b[8];
  int rc = Read(b, sizeof b);
  if (rc == 0) {
    uint64_t v = 0;
    for (uint8_t byte : b) v = (v << 8) | byte;
    value = v;
  }
  return rc;
}

int Channel::WriteByte(uint8_t value) { return Write(&value, 1); }

int Channel::WriteInt16(uint16_t value) {
  uint8_t b[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return Write(b, sizeof b);
}

int Channel::WriteInt32(uint32_t value) {
  uint8_t b[4];
  for (int i = 3; i >= 0; --i, value >>= 8) b[i] = static_cast<uint8_t>(value);
  return Write(b, sizeof b);
}

int Channel::WriteInt64(uint64_t value) {
  uint8_t b[8];
  for (int i = 7; i >= 0; --i, value >>= 8) b[i] = static_cast<uint8_t>(value);
  return Write(b, sizeof b);
}

}  // namespace tidewell
