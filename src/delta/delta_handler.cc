#include "delta/delta_handler.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "delta/delta_format.h"
#include "delta/diagnostics.h"

namespace tidewell {

int DeltaHandler::begin() {
  read_buffer.clear();
  read_buffer.reserve(500);
  write_buffer.clear();
  write_buffer.reserve(500);
  read_head_ = 0;
  match_count = 0;
  mismatch_start = kNone;
  strong_pos_ = kNone;
  ahead_count_ = 0;
  checksum.clear();
  signature_failed_ = false;
  if (index_.Load(signature_file) != 0) {
    signature_failed_ = true;
    return -1;
  }
  block_size = index_.block_size();
  hash_size = index_.hash_size();
  if (fd_open_write(delta_file, &fd) != 0) return -1;
  uint8_t magic[4];
  PutBigEndian(magic, kDeltaMagic, 4);
  if (fd_write(&fd, magic, sizeof magic) < 0) {
    DeltaDiagnostic("api (%d): fd_write_int: Error Code %d", __LINE__, errno);
    return -1;
  }
  begun_ = true;
  return 0;
}

const uint8_t* DeltaHandler::WindowStrong(size_t pos) {
  if (strong_pos_ != pos) {
    MD4Digest(read_buffer.data() + pos, block_size, strong_);
    strong_pos_ = pos;
  }
  return strong_;
}

const uint8_t* DeltaHandler::RunWindowStrong(size_t pos, uint32_t blocks_left) {
  if (ahead_count_ > 0 && pos >= ahead_pos_ && (pos - ahead_pos_) % block_size == 0 &&
      (pos - ahead_pos_) / block_size < ahead_count_) {
    return ahead_ + (pos - ahead_pos_) / block_size * kMD4DigestSize;
  }
  size_t n = (read_buffer.size() - pos) / block_size;
  if (n > kAhead) n = kAhead;
  if (n > blocks_left) n = blocks_left;
  if (n < 2) return WindowStrong(pos);
  MD4DigestMany(read_buffer.data() + pos, block_size, block_size, n, ahead_);
  ahead_pos_ = pos;
  ahead_count_ = n;
  return ahead_;
}

void DeltaHandler::AppendLiteral(const uint8_t* data, size_t length) {
  if (length == 0) return;
  uint8_t header[9];
  const size_t n = EncodeLiteralHeader(length, header);
  write_buffer.insert(write_buffer.end(), header, header + n);
  write_buffer.insert(write_buffer.end(), data, data + length);
}

void DeltaHandler::FlushLiteral(size_t end) {
  if (mismatch_start == kNone) return;
  AppendLiteral(read_buffer.data() + mismatch_start, end - mismatch_start);
  mismatch_start = kNone;
}

void DeltaHandler::CloseRun() {
  if (match_count == 0) return;
  uint8_t command[17];
  const size_t n = EncodeCopy(uint64_t{block_size} * match_start,
                              uint64_t{block_size} * match_count, command);
  write_buffer.insert(write_buffer.end(), command, command + n);
  match_count = 0;
}

bool DeltaHandler::matchBlock(size_t pos) {
  const uint32_t weak = checksum.digest();
  if (match_count > 0) {
    // Extend the open run with the basis block that follows it.
    const uint64_t next = uint64_t{match_start} + match_count;
    if (next < index_.block_count() && index_.weak(static_cast<uint32_t>(next)) == weak &&
        memcmp(RunWindowStrong(pos, static_cast<uint32_t>(index_.block_count() - next)),
               index_.strong(static_cast<uint32_t>(next)), hash_size) == 0) {
      ++match_count;
      return true;
    }
    CloseRun();
  }
  if (!index_.MayContain(weak)) return false;
  const DeltaBlock* it;
  const DeltaBlock* end;
  index_.Candidates(weak, &it, &end);
  for (; it != end; ++it) {
    if (it->weaksum != weak) continue;
    if (memcmp(WindowStrong(pos), index_.strong(it->index), hash_size) == 0) {
      FlushLiteral(pos);
      match_start = it->index;
      match_count = 1;
      return true;
    }
  }
  return false;
}

void DeltaHandler::Scan() {
  const size_t size = read_buffer.size();
  const uint8_t* buf = read_buffer.data();
  const size_t bs = block_size;
  size_t pos = read_head_;
  for (;;) {
    if (checksum.count < bs) {
      // Cover a whole window first; wait for more input when it runs out.
      const size_t have = pos + checksum.count;
      if (size - have < bs - checksum.count) break;
      checksum.update(buf + have, bs - checksum.count);
    }
    if (matchBlock(pos)) {
      pos += bs;
      checksum.clear();
      continue;
    }
    if (mismatch_start == kNone) mismatch_start = pos;
    // Roll forward byte by byte while the filter rules every position out;
    // with no run open, nothing else can happen at those positions.
    uint32_t a = checksum.a, b = checksum.b;
    const uint32_t n = checksum.count;
    bool candidate = false;
    while (pos + bs < size) {
      const uint8_t out = buf[pos];
      a += buf[pos + bs] - out;
      b += a - n * (out + RSRollingChecksum::CHAR_OFFSET);
      ++pos;
      if (index_.MayContain((a & 0xFFFFu) | (b << 16))) {
        candidate = true;
        break;
      }
    }
    checksum.a = a;
    checksum.b = b;
    if (candidate) continue;
    // Not enough data to move a whole window: drop its first byte (it is
    // literal) and let the next input complete the window.
    checksum.roll_out(buf[pos]);
    ++pos;
    break;
  }
  read_head_ = pos;
}

int DeltaHandler::update(const uint8_t* buffer, size_t length) {
  if (!begun_) return -1;
  if (length == 0) return 0;
  read_buffer.insert(read_buffer.end(), buffer, buffer + length);
  Scan();
  // Pending literal bytes go out now; the unexamined tail moves to the front.
  FlushLiteral(read_head_);
  read_buffer.erase(read_buffer.begin(), read_buffer.begin() + read_head_);
  read_head_ = 0;
  strong_pos_ = kNone;
  ahead_count_ = 0;
  if (write_buffer.empty()) return 0;
  return fd_aio_write(&aio, &fd, write_buffer.data(), write_buffer.size());
}

int DeltaHandler::wait() {
  const int64_t n = fd_aio_wait(&aio);
  write_buffer.clear();
  return n < 0 ? -1 : 0;
}

int DeltaHandler::end() {
  int rc = wait();
  if (!begun_) rc = -1;
  if (rc == 0) {
    CloseRun();
    // The tail never filled a window, so it is literal.
    AppendLiteral(read_buffer.data() + read_head_, read_buffer.size() - read_head_);
    write_buffer.push_back(0x00);
    if (fd_write(&fd, write_buffer.data(), write_buffer.size()) < 0) {
      DeltaDiagnostic("api (%d): fd_write: Error Code %d", __LINE__, errno);
      rc = -1;
    }
  }
  write_buffer.clear();
  read_buffer.clear();
  read_buffer.shrink_to_fit();
  index_ = SignatureIndex();
  if (fd_close(&fd) != 0) rc = -1;
  begun_ = false;
  return rc;
}

}  // namespace tidewell
