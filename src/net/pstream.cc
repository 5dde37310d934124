// Encoding and decoding of null, integers, strings, arrays and maps, and the
// stream's status. Binary values are in pstream_binary.cc.

#include "net/pstream.h"

#include <set>
#include <string>

#include "net/net_log.h"
#include "platform/file_remove.h"

namespace tidewell {

namespace {

// Debug lines are indented two spaces per level, at most eleven levels.
const char* Indent(int depth) {
  static const char kSpaces[] = "                      ";  // 22 blanks
  if (depth < 0) depth = 0;
  if (depth > 11) depth = 11;
  return kSpaces + (22 - 2 * depth);
}

// True when any string or map key in `obj` is too long for the format.
bool HasOversizeString(const PObject& obj) {
  switch (obj.type()) {
    case PObject::kString:
      return obj.asStringRef().size() > 0xFFFF;
    case PObject::kArray:
      for (const PObject& v : obj.asArray()) {
        if (HasOversizeString(v)) return true;
      }
      return false;
    case PObject::kMap:
      for (const auto& [k, v] : obj.asMap()) {
        if (k.size() > 0xFFFF + (k.size() > 0 && k[0] == '_' ? 1u : 0u)) return true;
        if (HasOversizeString(v)) return true;
      }
      return false;
    default:
      return false;
  }
}

// Adds the file of every binary inside `obj` to `out`.
void CollectBinaryPaths(const PObject& obj, std::set<ustring>& out) {
  switch (obj.type()) {
    case PObject::kBinary:
      if (!obj.asBinary().empty()) out.insert(obj.asBinary().path);
      return;
    case PObject::kArray:
      for (const PObject& v : obj.asArray()) CollectBinaryPaths(v, out);
      return;
    case PObject::kMap:
      for (const auto& [k, v] : obj.asMap()) CollectBinaryPaths(v, out);
      return;
    default:
      return;
  }
}

// Empties every binary of `obj` whose file is in `paths`.
void ForgetBinaries(PObject& obj, const std::set<ustring>& paths) {
  switch (obj.type()) {
    case PObject::kBinary:
      if (paths.count(obj.asBinary().path) != 0) obj.asBinary().clear();
      return;
    case PObject::kArray:
      for (PObject& v : obj.asArray()) ForgetBinaries(v, paths);
      return;
    case PObject::kMap:
      for (auto& [k, v] : obj.asMap()) ForgetBinaries(v, paths);
      return;
    default:
      return;
  }
}

void RemoveReceivedFile(const ustring& path) {
  if (FSRemove(path, false) != 0) {
    ST_LOG_ERR("cannot delete the received file %s", path.c_str_utf8());
  } else {
    ST_LOG_DEBUG("deleted the received file %s, which no value keeps", path.c_str_utf8());
  }
}

}  // namespace

// --- top level ------------------------------------------------------------

int PStream::Send(Channel& ch, const PObject& obj) {
  int rc;
  if (HasOversizeString(obj)) {
    ST_LOG_ERR("a string longer than 65535 bytes cannot be sent");
    rc = kStreamInput;
  } else {
    rc = SendObject(ch, obj);
    if (rc == 0) {
      int frc = ch.FlushWrite(0);
      if (frc < 0) rc = ChannelFailure(frc);
    }
  }
  if (rc < 0) DumpHistory();
  ClearHistory();
  return rc;
}

int PStream::Recv(Channel& ch, PObject& obj) {
  values_taken_ = 0;
  indent = 0;
  fresh_files_.clear();
  int rc = RecvObject(ch, obj);
  if (rc < 0) DumpHistory();
  ClearHistory();
  DropUnreferencedFiles(obj);
  return rc;
}

void PStream::DropUnreferencedFiles(const PObject& obj) {
  if (fresh_files_.empty()) return;
  std::set<ustring> kept;
  CollectBinaryPaths(obj, kept);
  std::vector<ustring> still;
  for (const ustring& path : fresh_files_) {
    if (kept.count(path) != 0) {
      still.push_back(path);
    } else {
      RemoveReceivedFile(path);
    }
  }
  fresh_files_.swap(still);
}

void PStream::DeleteReceivedFiles(PObject* obj, const ustring& keep) {
  std::set<ustring> gone;
  std::vector<ustring> kept;
  for (const ustring& path : fresh_files_) {
    if (!keep.empty() && path == keep) {
      kept.push_back(path);
      continue;
    }
    RemoveReceivedFile(path);
    gone.insert(path);
  }
  fresh_files_.swap(kept);
  if (obj != nullptr && !gone.empty()) ForgetBinaries(*obj, gone);
}

int PStream::SendObject(Channel& ch, const PObject& obj) {
  switch (obj.type()) {
    case PObject::kNull:
      return SendNull(ch);
    case PObject::kInteger:
      return SendInteger(ch, obj.asInteger());
    case PObject::kString:
      return SendString(ch, obj.asStringRef());
    case PObject::kBinary:
      return SendBinary(ch, obj.asBinary());
    case PObject::kArray:
      return SendArray(ch, obj.asArray());
    case PObject::kMap:
      return SendMap(ch, obj.asMap());
  }
  return kStreamLocal;
}

int PStream::RecvObject(Channel& ch, PObject& obj) {
  uint8_t tag;
  int rc = RecvTag(ch, tag);
  if (rc < 0) return rc;
  return RecvDispatch(ch, tag, obj);
}

int PStream::RecvTag(Channel& ch, uint8_t& tag) {
  int rc = ch.ReadByte(tag);
  return rc < 0 ? ChannelFailure(rc) : kStreamOk;
}

int PStream::RecvDispatch(Channel& ch, uint8_t tag, PObject& obj) {
  if (!TakeValue()) return kStreamMalformed;
  switch (tag) {
    case kTagNull: {
      uint8_t zero;
      int rc = ch.ReadByte(zero);
      if (rc < 0) return ChannelFailure(rc);
      if (zero != 0) {
        ST_LOG_ERR("expect length 0, but we've got %u", static_cast<unsigned>(zero));
        return kStreamMalformed;
      }
      obj.clear();
      UpdateStatus(0, 0);
      return kStreamOk;
    }
    case kTagInteger: {
      uint64_t v;
      int rc = RecvInteger(ch, v);
      if (rc == 0) obj = static_cast<unsigned long long>(v);
      return rc;
    }
    case kTagString: {
      ustring s;
      int rc = RecvString(ch, s);
      if (rc == 0) obj = s;
      return rc;
    }
    case kTagBinary:
      return RecvBinary(ch, obj.asBinary());
    case kTagArray:
      return RecvArray(ch, obj.asArray());
    case kTagMap:
      return RecvMap(ch, obj.asMap());
    default:
      ST_LOG_ERR("unknown tag %u", static_cast<unsigned>(tag));
      return kStreamMalformed;
  }
}

int PStream::Skip(Channel&, uint8_t) { return kStreamMalformed; }

// --- primitives -------------------------------------------------------------

int PStream::SendNull(Channel& ch) {
  UpdateStatus(0, 0);
  int rc = ch.WriteByte(kTagNull);
  if (rc == 0) rc = ch.WriteByte(0);
  if (rc < 0) return ChannelFailure(rc);
  if (ST_DEBUG_ENABLED()) ST_LOG_DEBUG("%snull", Indent(indent));
  return kStreamOk;
}

int PStream::SendInteger(Channel& ch, uint64_t value) {
  UpdateStatus(0, 0);
  uint8_t n = value < 0x100 ? 1 : value < 0x10000 ? 2 : value < 0x100000000ull ? 4 : 8;
  uint8_t buf[10] = {kTagInteger, n};
  for (int i = 0; i < n; ++i) buf[2 + i] = static_cast<uint8_t>(value >> (8 * (n - 1 - i)));
  int rc = ch.Write(buf, 2u + n);
  if (rc < 0) return ChannelFailure(rc);
  if (ST_DEBUG_ENABLED()) ST_LOG_DEBUG("%s%llu", Indent(indent), static_cast<unsigned long long>(value));
  return kStreamOk;
}

int PStream::RecvInteger(Channel& ch, uint64_t& value) {
  UpdateStatus(0, 0);
  uint8_t n;
  int rc = ch.ReadByte(n);
  if (rc < 0) return ChannelFailure(rc);
  if (n > 8) {
    ST_LOG_ERR("integer of %u bytes is outside the format", static_cast<unsigned>(n));
    return kStreamMalformed;
  }
  uint8_t buf[8];
  if (n > 0 && (rc = ch.Read(buf, n)) < 0) return ChannelFailure(rc);
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | buf[i];
  value = v;
  if (ST_DEBUG_ENABLED()) ST_LOG_DEBUG("%s%llu", Indent(indent), static_cast<unsigned long long>(v));
  return kStreamOk;
}

int PStream::SendString(Channel& ch, const ustring& value) {
  UpdateStatus(0, 0);
  if (value.size() > 0xFFFF) {
    ST_LOG_ERR("string of %u bytes exceeds the 65535 bytes a string can carry", value.size());
    return kStreamInput;
  }
  uint8_t head[3] = {kTagString, static_cast<uint8_t>(value.size() >> 8), static_cast<uint8_t>(value.size())};
  int rc = ch.Write(head, sizeof head);
  if (rc == 0 && !value.empty()) rc = ch.Write(value.c_str_utf8(), value.size());
  if (rc < 0) return ChannelFailure(rc);
  if (ST_DEBUG_ENABLED()) ST_LOG_DEBUG("%s\"%s\"", Indent(indent), value.c_str_utf8());
  return kStreamOk;
}

int PStream::RecvString(Channel& ch, ustring& value) {
  UpdateStatus(0, 0);
  uint16_t len;
  int rc = ch.ReadInt16(len);
  if (rc < 0) return ChannelFailure(rc);
  std::string bytes(len, '\0');
  if (len > 0 && (rc = ch.Read(bytes.data(), len)) < 0) return ChannelFailure(rc);
  value = bytes;
  if (ST_DEBUG_ENABLED()) ST_LOG_DEBUG("%s\"%s\"", Indent(indent), value.c_str_utf8());
  return kStreamOk;
}

// --- containers -------------------------------------------------------------

int PStream::SendArray(Channel& ch, const PObject::array_type& value) {
  int rc = ch.WriteByte(kTagArray);
  if (rc < 0) return ChannelFailure(rc);
  if (ST_DEBUG_ENABLED()) ST_LOG_DEBUG("%s[", Indent(indent));
  ++indent;
  for (const PObject& v : value) {
    if ((rc = SendObject(ch, v)) < 0) return rc;
  }
  --indent;
  if ((rc = ch.WriteByte(kTagEnd)) < 0) return ChannelFailure(rc);
  if (ST_DEBUG_ENABLED()) ST_LOG_DEBUG("%s]", Indent(indent));
  return kStreamOk;
}

int PStream::RecvArray(Channel& ch, PObject::array_type& value) {
  if (indent >= kMaxDepth) {
    ST_LOG_ERR("values nested deeper than %d levels", kMaxDepth);
    return kStreamMalformed;
  }
  if (ST_DEBUG_ENABLED()) ST_LOG_DEBUG("%s[", Indent(indent));
  ++indent;
  for (;;) {
    uint8_t tag;
    int rc = RecvTag(ch, tag);
    if (rc < 0) return rc;
    if (tag == kTagEnd) break;
    value.emplace_back();
    if ((rc = RecvDispatch(ch, tag, value.back())) < 0) return rc;
  }
  --indent;
  if (ST_DEBUG_ENABLED()) ST_LOG_DEBUG("%s]", Indent(indent));
  return kStreamOk;
}

int PStream::SendMap(Channel& ch, const PObject::map_type& value) {
  int rc = ch.WriteByte(kTagMap);
  if (rc < 0) return ChannelFailure(rc);
  if (ST_DEBUG_ENABLED()) ST_LOG_DEBUG("%s{", Indent(indent));
  ++indent;
  for (const auto& [key, v] : value) {
    // "_action" travels as "action": the underscore marks keys that the
    // protocol spells without it.
    ustring sent = !key.empty() && key[0] == '_' ? key.substr(1) : key;
    if ((rc = SendString(ch, sent)) < 0) return rc;
    PushKey(sent);
    rc = SendObject(ch, v);
    if (rc < 0) return rc;  // the key stays in the history for the report
    PopKey();
  }
  --indent;
  if ((rc = ch.WriteByte(kTagEnd)) < 0) return ChannelFailure(rc);
  if (ST_DEBUG_ENABLED()) ST_LOG_DEBUG("%s}", Indent(indent));
  return kStreamOk;
}

int PStream::RecvMap(Channel& ch, PObject::map_type& value) {
  if (indent >= kMaxDepth) {
    ST_LOG_ERR("values nested deeper than %d levels", kMaxDepth);
    return kStreamMalformed;
  }
  if (ST_DEBUG_ENABLED()) ST_LOG_DEBUG("%s{", Indent(indent));
  ++indent;
  for (;;) {
    uint8_t tag;
    int rc = RecvTag(ch, tag);
    if (rc < 0) return rc;
    if (tag == kTagEnd) break;
    if (tag != kTagString) {
      ST_LOG_ERR("PStream: expect string, but get tag %u", static_cast<unsigned>(tag));
      return kStreamMalformed;
    }
    if (!TakeValue()) return kStreamMalformed;
    ustring key;
    if ((rc = RecvString(ch, key)) < 0) return rc;
    PushKey(key);
    PObject& entry = value[key];
    rc = RecvObject(ch, entry);
    if (rc < 0) return rc;
    PopKey();
  }
  --indent;
  if (ST_DEBUG_ENABLED()) ST_LOG_DEBUG("%s}", Indent(indent));
  return kStreamOk;
}

// --- status -----------------------------------------------------------------

bool PStream::TakeValue() {
  if (++values_taken_ <= value_limit_) return true;
  ST_LOG_ERR("more than %llu values in one message", static_cast<unsigned long long>(value_limit_));
  return false;
}

int PStream::ChannelFailure(int code) const {
  ST_LOG_WARN("Channel: %d", code);
  last_channel_code_ = code;
  return kStreamChannel;
}

void PStream::PushKey(const ustring& key) {
  std::lock_guard<std::mutex> lock(status_lock);
  history.push_back(key);
}

void PStream::PopKey() {
  std::lock_guard<std::mutex> lock(status_lock);
  if (!history.empty()) history.pop_back();
}

void PStream::UpdateStatus(uint64_t sent, uint64_t total) {
  std::lock_guard<std::mutex> lock(status_lock);
  total_sent = sent;
  total_size = total;
}

ustring PStream::JoinedHistoryLocked() const {
  std::string joined;
  for (size_t i = 0; i < history.size(); ++i) {
    if (i > 0) joined += '.';
    joined.append(history[i].utf8_view());
  }
  return ustring(joined);
}

ustring PStream::GetHistory() const {
  std::lock_guard<std::mutex> lock(status_lock);
  return JoinedHistoryLocked();
}

void PStream::GetStatus(ustring& item, uint64_t& sent, uint64_t& total) const {
  std::lock_guard<std::mutex> lock(status_lock);
  item = JoinedHistoryLocked();
  sent = total_sent;
  total = total_size;
}

void PStream::DumpHistory() const {
  std::lock_guard<std::mutex> lock(status_lock);
  ST_LOG_ERR("Error stack: %s", JoinedHistoryLocked().c_str_utf8());
}

void PStream::ClearHistory() {
  {
    std::lock_guard<std::mutex> lock(status_lock);
    history.clear();
    total_sent = 0;
    total_size = 0;
  }
  indent = 0;
  values_taken_ = 0;
}

}  // namespace tidewell
