// PStream: puts PObject values on a Channel and takes them off again, in the
// tagged encoding described in docs/value-encoding.md. Binary values are
// streamed between their file and the channel through one 80 KiB buffer and
// are never held in memory; a receive can resume a partial file.
//
// Every byte a peer sends is treated as hostile: nesting is limited to
// kMaxDepth, one message to kDefaultValueLimit values, integers to 8 bytes,
// and anything outside the format fails with kStreamMalformed.
//
// Thread-safety: one thread sends and receives at a time. The progress
// counters and the key history may be read from other threads (GetStatus,
// GetHistory) while a transfer runs.

#ifndef TIDEWELL_NET_PSTREAM_H_
#define TIDEWELL_NET_PSTREAM_H_

#include <cstdint>
#include <functional>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/ustring.h"
#include "net/channel.h"
#include "net/pobject.h"

namespace tidewell {

// Results of PStream operations. They have their own numbering, which the
// engine maps onto the daemon's codes.
enum PStreamResult : int {
  kStreamOk = 0,
  kStreamLocal = -1,      // file cannot be opened/positioned/read/written, no memory, no name
  kStreamChannel = -2,    // the channel failed (its own code is logged)
  kStreamDiskFull = -4,   // no space left while storing a received binary
  kStreamMalformed = -5,  // the bytes are not a valid value (or Skip)
  kStreamInput = -6,      // the value cannot be encoded (a string over 65,535 bytes)
};

// Wire tags.
inline constexpr uint8_t kTagNull = 0x00;
inline constexpr uint8_t kTagInteger = 0x01;
inline constexpr uint8_t kTagString = 0x10;
inline constexpr uint8_t kTagBinary = 0x30;
inline constexpr uint8_t kTagEnd = 0x40;
inline constexpr uint8_t kTagArray = 0x41;
inline constexpr uint8_t kTagMap = 0x42;

class PStream {
 public:
  // Deepest nesting of arrays and maps accepted from a peer.
  static constexpr int kMaxDepth = 64;
  // Values (of any kind, nested ones included) accepted in one message.
  static constexpr uint64_t kDefaultValueLimit = uint64_t{1} << 22;
  // Size of the transfer buffer of a binary value.
  static constexpr size_t kBufferSize = 81920;
  // New files a peer may make us create with one message. The replies and
  // requests of the protocol carry at most two binaries.
  static constexpr size_t kDefaultBinaryLimit = 8;

  PStream() = default;
  PStream(const PStream&) = delete;
  PStream& operator=(const PStream&) = delete;

  // Encodes `obj` and flushes the channel. A value holding a string or key
  // longer than 65,535 bytes is refused with kStreamInput before anything
  // is written. On failure the key history is logged. The history is
  // cleared in every case. Returns 0 or a PStreamResult.
  [[nodiscard]] int Send(Channel& ch, const PObject& obj);

  // Decodes one value into `obj`, reusing what it holds (see
  // RecvDispatch). On failure `obj` stays as far as decoding got and the key
  // history is logged; the history is cleared in every case. Binaries that
  // the receive created in the default receive location and that `obj` no
  // longer refers to (a map key given twice, a value replaced by another
  // type) are deleted before it returns, also after a failure; the files
  // `obj` still refers to are listed by ReceivedFiles() and belong to the
  // caller, who deletes them when it drops `obj`. At most
  // binary_limit() such files are created per message; one more fails the
  // receive with kStreamMalformed.
  [[nodiscard]] int Recv(Channel& ch, PObject& obj);

  // The files the last Recv created in the default receive location that
  // its value still refers to.
  const std::vector<ustring>& ReceivedFiles() const { return fresh_files_; }

  // The channel's own code (ERR_TIMEOUT, ERR_IO, ...) behind the last
  // kStreamChannel result; 0 before any channel failure.
  int LastChannelCode() const { return last_channel_code_; }
  // Deletes ReceivedFiles() other than `keep` and forgets them; binaries
  // of `obj` (if given) that referred to a deleted file are emptied. For a
  // value the caller discards (a keep-alive) or keeps only in part (a
  // failed reply).
  void DeleteReceivedFiles(PObject* obj = nullptr, const ustring& keep = ustring());

  // Encodes one value without flushing. Returns 0 or a PStreamResult.
  [[nodiscard]] int SendObject(Channel& ch, const PObject& obj);
  // Reads a tag, then decodes its payload into `obj`.
  [[nodiscard]] int RecvObject(Channel& ch, PObject& obj);
  // Reads one tag byte.
  [[nodiscard]] int RecvTag(Channel& ch, uint8_t& tag);
  // Decodes the payload that belongs to `tag` into `obj`. When `obj`
  // already has the announced type its payload is reused: an integer or
  // string is overwritten, an array gets the new elements appended, a map
  // gets the new entries merged in, and a binary keeps path, offset and
  // length, which decide where the bytes go (RecvBinary). Otherwise `obj` is
  // cleared first.
  [[nodiscard]] int RecvDispatch(Channel& ch, uint8_t tag, PObject& obj);

  // One encoder and decoder per payload kind; the Send forms write the tag,
  // the Recv forms expect it already consumed.
  [[nodiscard]] int SendNull(Channel& ch);
  [[nodiscard]] int SendInteger(Channel& ch, uint64_t value);
  [[nodiscard]] int RecvInteger(Channel& ch, uint64_t& value);
  [[nodiscard]] int SendString(Channel& ch, const ustring& value);
  [[nodiscard]] int RecvString(Channel& ch, ustring& value);
  // Sends `length` bytes of `path` from `offset`. kStreamLocal when the file
  // cannot be opened, positioned or read (nothing is written when it cannot
  // be opened); kStreamMalformed when the file ends early -- the bytes that
  // existed went out and the peer is out of step.
  [[nodiscard]] int SendBinary(Channel& ch, const PObject::binary_type& value);
  // Receives a binary into `value.path` after its first `value.offset`
  // bytes (a fresh file in the default receive location when the path is
  // empty). A file holding more than `offset` bytes is cut there; one
  // holding fewer is refused (kStreamLocal), since appending would misplace
  // the bytes. Afterwards offset and length both tell how much of the file
  // is present, also after a failure, so the transfer can resume.
  // kStreamDiskFull when the disk fills.
  [[nodiscard]] int RecvBinary(Channel& ch, PObject::binary_type& value);
  [[nodiscard]] int SendArray(Channel& ch, const PObject::array_type& value);
  [[nodiscard]] int RecvArray(Channel& ch, PObject::array_type& value);
  [[nodiscard]] int SendMap(Channel& ch, const PObject::map_type& value);
  [[nodiscard]] int RecvMap(Channel& ch, PObject::map_type& value);

  // Skipping a value is not supported: always kStreamMalformed.
  [[nodiscard]] int Skip(Channel& ch, uint8_t tag);

  static void GetVersion(int& major, int& minor, int& mini) {
    major = 1;
    minor = 0;
    mini = 0;
  }

  // Directory for received binaries without a target path. While it is
  // empty such binaries are refused (kStreamLocal).
  void SetDefaultRecvLocation(const ustring& dir) { recv_path = dir; }
  // Values accepted in one message (default kDefaultValueLimit).
  void SetValueLimit(uint64_t limit) { value_limit_ = limit; }
  // Binaries without a target path accepted in one message (default
  // kDefaultBinaryLimit): each one is a new file in the receive location.
  void SetBinaryLimit(size_t limit) { binary_limit_ = limit; }
  size_t binary_limit() const { return binary_limit_; }

  // Takes over storing a received binary value. Called once its 64-bit
  // length is read, with the channel at the first of its `length` bytes and
  // the key history naming where it sits (GetHistory). It must consume
  // exactly those bytes, or fail, and leave in `value` where they went
  // (path, offset = length = bytes present). Returns 0 or a PStreamResult,
  // which ends the receive. A server uses this to decide, before anything is
  // stored, whether and where a peer's body may go.
  using BinaryReceiver = std::function<int(Channel& ch, uint64_t length, PObject::binary_type& value)>;
  // Installs `receiver` for later receives (empty: the built-in rules).
  void SetBinaryReceiver(BinaryReceiver receiver) { binary_receiver_ = std::move(receiver); }

  // Progress of the binary in transfer and the map keys leading to the
  // value being handled, joined with ".". Thread-safe.
  void UpdateStatus(uint64_t sent, uint64_t total);
  void GetStatus(ustring& item, uint64_t& sent, uint64_t& total) const;
  ustring GetHistory() const;
  // Empties the history and zeroes the counters and the nesting depth.
  void ClearHistory();
  // Logs the history as an error line.
  void DumpHistory() const;

  // Type code and wire tag of each payload type.
  template <typename T>
  static constexpr PObject::Type GetType();
  template <typename T>
  static constexpr uint8_t GetTag();

 private:
  void PushKey(const ustring& key);
  void PopKey();
  ustring JoinedHistoryLocked() const;
  // Logs and keeps the channel's code and gives kStreamChannel.
  int ChannelFailure(int code) const;
  // Counts one decoded value against the limit.
  bool TakeValue();
  // Opens the target of a received binary as the receive rules say.
  int OpenReceiveTarget(PObject::binary_type& value, FILE*& out);
  // Deletes the files of fresh_files_ that `obj` does not refer to.
  void DropUnreferencedFiles(const PObject& obj);

  // Used by the sending/receiving thread only.
  int indent = 0;
  ustring recv_path;
  uint64_t value_limit_ = kDefaultValueLimit;
  uint64_t values_taken_ = 0;
  size_t binary_limit_ = kDefaultBinaryLimit;
  // Files created in recv_path by the current or last Recv.
  std::vector<ustring> fresh_files_;
  BinaryReceiver binary_receiver_;
  mutable int last_channel_code_ = 0;

  // Guarded by status_lock.
  mutable std::mutex status_lock;
  std::vector<ustring> history;
  uint64_t total_size = 0;
  uint64_t total_sent = 0;
};

template <typename T>
constexpr PObject::Type PStream::GetType() {
  if constexpr (std::is_same_v<T, uint64_t>) return PObject::kInteger;
  if constexpr (std::is_same_v<T, ustring>) return PObject::kString;
  if constexpr (std::is_same_v<T, PObject::binary_type>) return PObject::kBinary;
  if constexpr (std::is_same_v<T, PObject::array_type>) return PObject::kArray;
  if constexpr (std::is_same_v<T, PObject::map_type>) return PObject::kMap;
  return PObject::kNull;
}

template <typename T>
constexpr uint8_t PStream::GetTag() {
  if constexpr (std::is_same_v<T, uint64_t>) return kTagInteger;
  if constexpr (std::is_same_v<T, ustring>) return kTagString;
  if constexpr (std::is_same_v<T, PObject::binary_type>) return kTagBinary;
  if constexpr (std::is_same_v<T, PObject::array_type>) return kTagArray;
  if constexpr (std::is_same_v<T, PObject::map_type>) return kTagMap;
  return kTagNull;
}

}  // namespace tidewell

#endif  // TIDEWELL_NET_PSTREAM_H_
