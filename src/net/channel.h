// The buffered byte transport under every conversation of the daemon.
//
// A Channel owns one connection (a TCP socket, later possibly an SSL session
// on it) and a ring buffer of fixed capacity for each direction. Big-endian
// integer reads and writes, the time-outs and the abort flag live here and
// work the same whatever carries the bytes underneath (ChannelOps).
//
// Not thread-safe: one thread uses a channel at a time. The only input from
// other threads is the abort flag (SetFlag), read once per poll interval.

#ifndef TIDEWELL_NET_CHANNEL_H_
#define TIDEWELL_NET_CHANNEL_H_

#include <sys/time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct ssl_st;

namespace tidewell {

// The low-level operations of a channel together with the connection they
// act on: a plain socket, an SSL session, or memory in tests. A channel that
// turns into an SSL channel swaps its operations object. Destroying the
// object closes what it holds.
class ChannelOps {
 public:
  virtual ~ChannelOps() = default;

  // Receives up to `len` bytes (len > 0), waiting at most `wait` for data.
  // Returns the count (> 0); ERR_TIMEOUT when nothing came within `wait`;
  // ERR_INVAL for len 0; ERR_IO for a closed peer or a connection error;
  // ERR_SYS when the readiness poll is inconsistent.
  virtual int read(uint8_t* buf, size_t len, const timeval& wait) = 0;

  // Sends up to `len` bytes with the same conventions as read().
  virtual int write(const uint8_t* buf, size_t len, const timeval& wait) = 0;

  // The socket underneath, or -1.
  virtual int get_fd() const = 0;

  // Shuts the connection down and releases it; safe to call twice.
  virtual void close() = 0;

  // True when nothing is open.
  virtual bool isInvalid() const = 0;

  // Gives up the socket without closing it and returns it; -1 when the
  // operations cannot hand over a socket. Used when a session takes over
  // the connection (SSL).
  virtual int detach() { return -1; }
};

// See the file comment.
class Channel {
 public:
  // Every channel of the daemon uses this capacity per direction.
  static constexpr size_t kDefaultCapacity = 81920;

  explicit Channel(size_t capacity = kDefaultCapacity);
  virtual ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Adopts a connected socket (an accepted loopback connection). With
  // `configure` the socket is made lingering (1 s) and non-blocking.
  // Returns 0; ERR_INVAL when a connection is already open or `socket` is
  // invalid (the socket is then not adopted and stays the caller's);
  // ERR_SYS when configuring fails.
  [[nodiscard]] virtual int Open(int socket, bool configure);

  // Connects to a dotted IPv4 `address` and `port`, waiting as the time-out
  // rules say. Returns 0; ERR_INVAL for a null or unparsable address, a port
  // outside 0..65535, or a channel already open; ERR_IO when the socket
  // cannot be made or the connect fails or times out; ERR_SYS when the
  // socket cannot be configured.
  [[nodiscard]] virtual int Open(const char* address, int port);

  // Flushes what is buffered (dropping it if that fails) and closes. The
  // channel can be opened again afterwards. Returns 0.
  virtual int Close();

  // Seconds without progress after which an operation gives up; 0 = never.
  virtual void SetTimeout(uint32_t seconds) { channel_timeout = seconds; }
  uint32_t GetTimeout() const { return channel_timeout; }

  // The abort flag, owned by the caller, may be null. While it holds a
  // non-zero value every wait gives up with ERR_INT within one poll interval.
  virtual void SetFlag(const std::atomic<int>* abort_flag) { flag = abort_flag; }

  // Runs the SSL handshake on the open socket, as server or client, and
  // switches the channel to SSL. Returns 0 (also when already SSL, with a
  // warning); ERR_IO when nothing is open or the set-up or handshake fails,
  // times out or is aborted (the channel then stays open and plain); the
  // failure of flushing plain bytes still queued.
  [[nodiscard]] virtual int ConvertToSSLChannel(bool server);

  // Exact big-endian reads; the out value is set only on success (0).
  [[nodiscard]] virtual int ReadByte(uint8_t& value);
  [[nodiscard]] virtual int ReadInt16(uint16_t& value);
  [[nodiscard]] virtual int ReadInt32(uint32_t& value);
  [[nodiscard]] virtual int ReadInt64(uint64_t& value);

  // Big-endian writes into the write buffer (which may flush to make room).
  [[nodiscard]] virtual int WriteByte(uint8_t value);
  [[nodiscard]] virtual int WriteInt16(uint16_t value);
  [[nodiscard]] virtual int WriteInt32(uint32_t value);
  [[nodiscard]] virtual int WriteInt64(uint64_t value);

  // Delivers exactly `len` bytes or fails. On failure `count` tells how many
  // bytes were delivered to `buf` before it. ERR_IO when nothing is open.
  [[nodiscard]] virtual int Read(void* buf, size_t len);
  [[nodiscard]] virtual int Read(void* buf, size_t len, size_t& count);

  // Queues `len` bytes, flushing first as far as needed to make room.
  // Returns 0; ERR_IO when nothing is open; ERR_INVAL when `len` exceeds the
  // capacity; otherwise the failure of the flush.
  [[nodiscard]] virtual int Write(const void* buf, size_t len);

  // Drop the buffered bytes of one direction.
  virtual void ClearRead();
  virtual void ClearWrite();

  // Sends at least `want` buffered bytes; 0 means all. Returns 0, ERR_INT on
  // abort, ERR_TIMEOUT after channel_timeout seconds without progress, or
  // the transport's failure.
  [[nodiscard]] virtual int FlushWrite(size_t want);

  // Not supported on this transport; returns ERR_SYS.
  [[nodiscard]] virtual int GetPeerInfo(std::string& address, int& port);

  // True when nothing is open.
  virtual bool IsClosed() const;

  // Receives at least `want` more bytes into the read buffer (want must not
  // exceed the free space). Same results as FlushWrite.
  [[nodiscard]] virtual int ReadMore(size_t want);

  // Byte-order reversal.
  static uint64_t Convert(uint64_t v) { return __builtin_bswap64(v); }
  static uint32_t Convert(uint32_t v) { return __builtin_bswap32(v); }
  static uint16_t Convert(uint16_t v) { return __builtin_bswap16(v); }

  // Socket helpers. CreateSock gives a new IPv4 TCP socket (close-on-exec)
  // or -1. SetLinger and SetNonBlock return 0 or ERR_INT.
  // ConnectWithTimeout returns 0; ERR_INVAL for bad arguments; ERR_SYS when
  // the connect or the poll fails; ERR_TIMEOUT; ERR_INT on abort.
  virtual int CreateSock();
  [[nodiscard]] virtual int SetLinger(int socket, int seconds);
  [[nodiscard]] virtual int SetNonBlock(int socket);
  [[nodiscard]] virtual int ConnectWithTimeout(int socket, const char* address, int port);

  bool IsSSL() const { return m_isSSL; }
  size_t capacity() const { return capacity_; }
  const timeval& poll_interval() const { return m_timeout; }
  // The socket under the channel, or -1.
  int GetFd() const;

 protected:
  // Called by ConvertToSSLChannel after a successful handshake, before the
  // channel switches to the session. A negative result fails the conversion
  // (ERR_IO; the channel stays open and plain). The default accepts any peer.
  virtual int CheckSslPeer(ssl_st* ssl) {
    (void)ssl;
    return 0;
  }

  // Replaces the operations (closing the old ones) and empties both
  // buffers. Derived channels use this to adopt what they opened.
  void InstallOps(std::unique_ptr<ChannelOps> ops, bool is_ssl);

  // True when the abort flag is raised.
  bool Aborted() const { return flag != nullptr && flag->load(std::memory_order_relaxed) != 0; }

  // Receives exactly `len` bytes into `dst`, bypassing the read buffer;
  // `got` tells how many arrived. Same results as ReadMore.
  int ReceiveInto(uint8_t* dst, size_t len, size_t& got);

  // Applies the time-out rule after a poll without progress: true when the
  // operation should give up. `last_progress` is a steady-clock time in ns.
  bool TimedOut(int64_t last_progress_ns) const;

 private:
  // One read of up to `room` bytes into `dst` for ReadMore and ReceiveInto.
  // Returns the count read (moving `last_progress_ns` on), 0 when nothing
  // came but the channel has not timed out yet, or a negative failure.
  int ReadStep(uint8_t* dst, size_t room, int64_t& last_progress_ns);


  // Set at construction.
  const size_t capacity_;
  std::unique_ptr<uint8_t[]> w_buf;
  std::unique_ptr<uint8_t[]> r_buf;

  // Used by the owning thread only.
  std::unique_ptr<ChannelOps> m_ops;
  size_t w_head = 0;
  size_t w_size = 0;
  size_t r_head = 0;
  size_t r_size = 0;
  timeval m_timeout{1, 0};
  uint32_t channel_timeout = 60;
  const std::atomic<int>* flag = nullptr;
  bool m_isSSL = false;
};

}  // namespace tidewell

#endif  // TIDEWELL_NET_CHANNEL_H_
