// Strings, encrypted strings and the records made of sections.

#include <unicode/ustring.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/error_code.h"
#include "base/sync_pass.h"
#include "net/net_log.h"
#include "net/protocol.h"

namespace tidewell {

namespace {

// Wide strings and encrypted strings are limited to this many bytes on the
// wire, terminator included.
constexpr size_t kTextLimit = 8192;

int ReadBytes(Channel& ch, std::string& out, size_t capacity) {
  std::string buf(capacity, '\0');
  int rc = ProtoReadVarData(ch, buf.data(), buf.size());
  if (rc < 0) return rc;
  buf.resize(static_cast<size_t>(rc));
  out.swap(buf);
  return rc;
}

std::string UpToZero(const std::string& s) { return s.substr(0, s.find('\0')); }

int WriteVersionText(Channel& ch, uint8_t id, uint32_t major, uint32_t minor, uint32_t build) {
  char text[40];
  int n = std::snprintf(text, sizeof text, "%u.%u.%u", major, minor, build);
  return ProtoWriteSection(ch, id, text, static_cast<size_t>(n));
}

// Parses "major.minor.build"; trailing text after the third number is
// ignored. False for anything else or numbers beyond 32 bits.
bool ParseVersion(const std::string& text, uint32_t out[3]) {
  const char* p = text.c_str();
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      if (*p != '.') return false;
      ++p;
    }
    if (*p < '0' || *p > '9') return false;
    uint64_t v = 0;
    while (*p >= '0' && *p <= '9') {
      v = v * 10 + static_cast<uint64_t>(*p - '0');
      if (v > 0xFFFFFFFFull) return false;
      ++p;
    }
    out[i] = static_cast<uint32_t>(v);
  }
  return true;
}

int ReadVersionText(Channel& ch, uint8_t id, uint32_t& major, uint32_t& minor, uint32_t& build) {
  ustring text;
  int rc = ProtoReadSection(ch, id, text);
  if (rc < 0) return rc;
  uint32_t parts[3];
  std::string s(text.utf8_view());
  if (!ParseVersion(s, parts)) {
    PR_LOG_ERR("ReadProtocolVersion: sscanf: %s (%d).", s.c_str(), 0);
    return ERR_PROTO;
  }
  major = parts[0];
  minor = parts[1];
  build = parts[2];
  return rc;
}

}  // namespace

// --- strings ------------------------------------------------------------

int ProtoWriteString(Channel& ch, const std::string& value) { return ProtoWriteVarData(ch, value.data(), value.size()); }

int ProtoReadString(Channel& ch, std::string& value) { return ReadBytes(ch, value, 0xFFFF); }

int ProtoWriteString(Channel& ch, const ustring& value) {
  return ProtoWriteVarData(ch, value.c_str_utf8(), value.size());
}

int ProtoReadString(Channel& ch, ustring& value) {
  std::string bytes;
  int rc = ReadBytes(ch, bytes, 0xFFFF);
  if (rc >= 0) value = bytes;
  return rc;
}

int ProtoWriteString(Channel& ch, const std::u16string& value) {
  char buf[kTextLimit];
  int32_t len = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8(buf, static_cast<int32_t>(sizeof buf - 1), &len, reinterpret_cast<const UChar*>(value.data()),
              static_cast<int32_t>(value.size()), &status);
  // The capacity leaves room for the terminator, written below.
  if (U_FAILURE(status)) {
    PR_LOG_ERR("wcstombs: %s", u_errorName(status));
    return ERR_INVAL;
  }
  buf[len] = '\0';
  return ProtoWriteVarData(ch, buf, static_cast<size_t>(len) + 1);
}

int ProtoReadString(Channel& ch, std::u16string& value) {
  std::string bytes;
  int rc = ReadBytes(ch, bytes, kTextLimit);
  if (rc < 0) return rc;
  bytes = UpToZero(bytes);
  std::u16string out(bytes.size() + 1, u'\0');
  int32_t len = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()), &len, bytes.data(),
                static_cast<int32_t>(bytes.size()), &status);
  if (U_FAILURE(status)) {
    PR_LOG_ERR("mbstowcs: %s", u_errorName(status));
    return ERR_PROTO;
  }
  out.resize(static_cast<size_t>(len));
  value.swap(out);
  return rc;
}

int ProtoWriteEncString(Channel& ch, const std::string& plain) {
  std::string encoded;
  if (SyncPassEnc(plain, encoded) != 0) return ERR_SYS;
  return ProtoWriteVarData(ch, encoded.data(), encoded.size());
}

int ProtoReadDecString(Channel& ch, std::string& plain) {
  std::string encoded;
  int rc = ReadBytes(ch, encoded, kTextLimit);
  if (rc < 0) return rc;
  std::string decoded;
  if (SyncPassDec(UpToZero(encoded), decoded) != 0) return ERR_SYS;
  plain.swap(decoded);
  return static_cast<int>(plain.size());
}

int ProtoWriteEncSection(Channel& ch, uint8_t id, const std::string& plain) {
  std::string encoded;
  if (SyncPassEnc(plain, encoded) != 0) return ERR_SYS;
  return ProtoWriteSection(ch, id, encoded.data(), encoded.size());
}

int ProtoReadDecSection(Channel& ch, uint8_t id, std::string& plain) {
  std::string encoded(kTextLimit, '\0');
  size_t len = 0;
  int rc = ProtoReadSection(ch, id, encoded.data(), encoded.size(), len);
  if (rc < 0) return rc;
  encoded.resize(len);
  std::string decoded;
  if (SyncPassDec(UpToZero(encoded), decoded) != 0) return ERR_SYS;
  plain.swap(decoded);
  return static_cast<int>(plain.size());
}

// --- records ------------------------------------------------------------

int ProtoWriteView(Channel& ch, const View& v) {
  int rc = ProtoWriteSection(ch, SPROTO_ID_VIEW_ID, uint64_t{v.view_id});
  return rc < 0 ? rc : ProtoWriteSection(ch, SPROTO_ID_VIEW_NAME, v.name);
}

int ProtoReadView(Channel& ch, View& v) {
  int a = ProtoReadSection(ch, SPROTO_ID_VIEW_ID, v.view_id);
  if (a < 0) return a;
  int b = ProtoReadSection(ch, SPROTO_ID_VIEW_NAME, v.name);
  return b < 0 ? b : a + b;
}

int ProtoWriteObjectId(Channel& ch, const ObjectID& v) {
  int rc = ProtoWriteSection(ch, SPROTO_ID_SID, uint64_t{v.sync_id});
  return rc < 0 ? rc : ProtoWriteSection(ch, SPROTO_ID_PATH, v.path);
}

int ProtoReadObjectId(Channel& ch, ObjectID& v) {
  int a = ProtoReadSection(ch, SPROTO_ID_SID, v.sync_id);
  if (a < 0) return a;
  int b = ProtoReadSection(ch, SPROTO_ID_PATH, v.path);
  return b < 0 ? b : a + b;
}

int ProtoWriteObjectMetadata(Channel& ch, const ObjectMetadata& v) {
  int rc = ProtoWriteSection(ch, SPROTO_ID_FILESIZE, uint64_t{v.size});
  if (rc == 0) rc = ProtoWriteSection(ch, SPROTO_ID_FILETIME, uint32_t{v.mtime});
  return rc < 0 ? rc : ProtoWriteSection(ch, SPROTO_ID_FILEHASH, v.hash);
}

int ProtoReadObjectMetadata(Channel& ch, ObjectMetadata& v) {
  int a = ProtoReadSection(ch, SPROTO_ID_FILESIZE, v.size);
  if (a < 0) return a;
  int b = ProtoReadSection(ch, SPROTO_ID_FILETIME, v.mtime);
  if (b < 0) return b;
  int c = ProtoReadSection(ch, SPROTO_ID_FILEHASH, v.hash);
  return c < 0 ? c : a + b + c;
}

int ProtoWriteCommonAttributeBlock(Channel& ch, const CommonAttributeBlock& v) {
  return ProtoWriteSection(ch, SPROTO_ID_FILETIME, uint32_t{v.mtime});
}

int ProtoReadCommonAttributeBlock(Channel& ch, CommonAttributeBlock& v) {
  return ProtoReadSection(ch, SPROTO_ID_FILETIME, v.mtime);
}

int ProtoWriteProtocolVersion(Channel& ch, const ProtocolVersion& v) {
  return WriteVersionText(ch, SPROTO_ID_PROTO_VERSION_2, v.major, v.minor, v.build);
}

int ProtoReadProtocolVersion(Channel& ch, ProtocolVersion& v) {
  return ReadVersionText(ch, SPROTO_ID_PROTO_VERSION_2, v.major, v.minor, v.build);
}

int ProtoWriteFilterVersion(Channel& ch, const FilterVersion& v) {
  return WriteVersionText(ch, SPROTO_ID_FILTER_VERSION, v.major, v.minor, v.build);
}

int ProtoReadFilterVersion(Channel& ch, FilterVersion& v) {
  return ReadVersionText(ch, SPROTO_ID_FILTER_VERSION, v.major, v.minor, v.build);
}

}  // namespace tidewell
