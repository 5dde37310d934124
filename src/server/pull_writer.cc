#include "server/pull_writer.h"

#include <string_view>

#include "net/pstream.h"
#include "server/path_rules.h"

namespace tidewell::server {

namespace {

// Appends tagged values to a byte string, in the value encoding.
class Encoder {
 public:
  explicit Encoder(std::string& out) : out_(out) {}

  void Tag(uint8_t tag) { out_ += static_cast<char>(tag); }
  void String(std::string_view s) {
    Tag(kTagString);
    out_ += static_cast<char>((s.size() >> 8) & 0xFF);
    out_ += static_cast<char>(s.size() & 0xFF);
    out_.append(s);
  }
  void Integer(uint64_t v) {
    // The shortest of 1, 2, 4 or 8 bytes, most significant first.
    const int n = v < (1u << 8) ? 1 : v < (1u << 16) ? 2 : v < (uint64_t{1} << 32) ? 4 : 8;
    Tag(kTagInteger);
    out_ += static_cast<char>(n);
    for (int i = n - 1; i >= 0; --i) out_ += static_cast<char>((v >> (8 * i)) & 0xFF);
  }
  void Key(std::string_view key) { String(key); }

 private:
  std::string& out_;
};

void Event(Encoder& e, const ObjectRow& row, const std::string& folder) {
  // Keys in ascending byte order.
  e.Tag(kTagMap);
  e.Key("common_attribute");
  e.Tag(kTagMap);
  e.Key("mtime");
  e.Integer(row.mtime);
  e.Tag(kTagEnd);
  e.Key("exec_bit");
  e.Integer(row.exec_bit);
  if (!row.is_dir) {
    e.Key("file");
    e.Tag(kTagMap);
    e.Key("hash");
    e.String(row.md4);
    e.Key("size");
    e.Integer(row.size);
    e.Tag(kTagEnd);
  }
  e.Key("is_dir");
  e.Integer(row.is_dir ? 1 : 0);
  e.Key("is_removed");
  e.Integer(row.is_removed ? 1 : 0);
  e.Key("max_id");
  e.Integer(row.sync_id);
  e.Key("mtime");
  e.Tag(kTagMap);
  e.Key("mtime");
  e.Integer(row.mtime);
  e.Tag(kTagEnd);
  e.Key("path");
  e.String(folder == "/" ? std::string_view(row.path) : std::string_view(row.path).substr(folder.size()));
  e.Key("sync_id");
  e.Integer(row.sync_id);
  e.Tag(kTagEnd);
}

}  // namespace

int WritePullReply(Channel& ch, uint32_t alive, const PullReply& reply) {
  std::string buf;
  buf.reserve(64 * 1024);
  Encoder e(buf);
  auto flush = [&](bool all) -> int {
    if (!all && buf.size() < 32 * 1024) return 0;
    for (size_t at = 0; at < buf.size();) {
      size_t n = std::min(buf.size() - at, ch.capacity());
      int rc = ch.Write(buf.data() + at, n);
      if (rc != 0) return rc;
      at += n;
    }
    buf.clear();
    return 0;
  };
  e.Tag(kTagMap);
  e.Key("alive");
  e.Integer(alive);
  e.Key("event_list");
  e.Tag(kTagArray);
  for (const ObjectRow& row : reply.events) {
    Event(e, row, reply.folder);
    if (int rc = flush(false); rc != 0) return rc;
  }
  e.Tag(kTagEnd);
  e.Key("next_sync_id");
  e.Integer(reply.next_sync_id);
  e.Tag(kTagEnd);
  if (int rc = flush(true); rc != 0) return rc;
  return ch.FlushWrite(0);
}

}  // namespace tidewell::server
