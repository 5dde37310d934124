#include "net/protocol.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "base/error_code.h"
#include "net/net_log.h"

namespace tidewell {

namespace {

std::atomic<uint8_t> g_proto_version{kProtoInitialVersion};

constexpr SYNC_SECTION_ATTR_tag Fixed(uint8_t id, uint16_t len, const char* name) {
  return SYNC_SECTION_ATTR_tag{id, false, 1, len, name};
}
constexpr SYNC_SECTION_ATTR_tag Var(uint8_t id, const char* name) {
  return SYNC_SECTION_ATTR_tag{id, true, 3, 0, name};
}

// Indexed by id - 1.
constexpr SYNC_SECTION_ATTR_tag kSections[] = {
    Fixed(1, 1, "SPROTO_ID_RES"),
    Fixed(2, 1, "SPROTO_ID_TYPE"),
    Var(3, "SPROTO_ID_USER"),
    Var(4, "SPROTO_ID_PASSWD"),
    Var(5, "SPROTO_ID_CLIENT"),
    Var(6, "SPROTO_ID_SESSION"),
    Var(7, "SPROTO_ID_PATH"),
    Fixed(8, 1, "SPROTO_ID_NOTIFY"),
    Fixed(9, 8, "SPROTO_ID_SID"),
    Var(10, "SPROTO_ID_PREFIX"),
    Fixed(11, 8, "SPROTO_ID_EVT_COUNT"),
    Fixed(12, 4, "SPROTO_ID_SEQID"),
    Fixed(13, 8, "SPROTO_ID_EVTID"),
    Fixed(14, 1, "SPROTO_ID_FILETYPE"),
    Fixed(15, 1, "SPROTO_ID_FILESTATUS"),
    Var(16, "SPROTO_ID_FILEHASH"),
    Fixed(17, 4, "SPROTO_ID_FILETIME"),
    Fixed(18, 8, "SPROTO_ID_FILESIZE"),
    Var(19, "SPROTO_ID_FILEUPDATER"),
    Fixed(20, 1, "SPROTO_ID_FILEOP"),
    Fixed(21, 8, "SPROTO_ID_DELTALEN"),
    Var(22, "SPROTO_ID_DELTADATA"),
    Fixed(23, 4, "SPROTO_ID_DELTACOUNT"),
    Fixed(24, 4, "SPROTO_ID_DELTAID"),
    Fixed(25, 1, "SPROTO_ID_DELTATYPE"),
    Fixed(26, 1, "SPROTO_ID_USRENABLE"),
    Var(27, "SPROTO_ID_SERIAL_NUMBER"),
    Fixed(28, 1, "SPROTO_ID_PROTO_VERSION"),
    Var(29, "SPROTO_ID_SERVER_ID"),
    Fixed(30, 4, "SPROTO_ID_ALIVE"),
    Fixed(31, 4, "SPROTO_ID_DATA_BLOCK"),
    Fixed(32, 4, "SPROTO_ID_SYNC_BLOCK"),
    Var(33, "SPROTO_ID_MACHASH"),
    Fixed(34, 8, "SPROTO_ID_MACSIZE"),
    Fixed(35, 1, "SPROTO_ID_AUTH_TYPE"),
    Fixed(36, 8, "SPROTO_ID_VIEW_ID"),
    Var(37, "SPROTO_ID_VIEW_NAME"),
    Fixed(38, 4, "SPROTO_ID_VIEW_COUNT"),
    Fixed(39, 4, "SPROTO_ID_META_BLOCK"),
    Var(40, "SPROTO_ID_FILTER_VERSION"),
    Var(41, "SPROTO_ID_PROTO_VERSION_2"),
    Fixed(42, 4, "SPROTO_ID_KEEP_ALIVE_OPTION"),
    Fixed(43, 4, "SPROTO_ID_KEEP_ALIVE_CONTROL"),
    Fixed(44, 4, "SPROTO_ID_ACK_OPTION"),
    Fixed(45, 4, "SPROTO_ID_SSL_OPTION"),
    Fixed(46, 4, "SPROTO_ID_SSL_RESPONSE_OPTION"),
    Fixed(47, 2, "SPROTO_ID_PKG_MAJOR_VERSION"),
    Fixed(48, 2, "SPROTO_ID_PKG_MINOR_VERSION"),
    Fixed(49, 4, "SPROTO_ID_PKG_BUILDNUM"),
    Fixed(50, 4, "SPROTO_ID_FOLDER_COUNT"),
    Var(51, "SPROTO_ID_JOB_TOKEN"),
    Fixed(52, 8, "SPROTO_ID_FILE_OFFSET"),
    Var(53, "SPROTO_ID_PATCH_TOKEN"),
};
static_assert(sizeof kSections / sizeof kSections[0] == 53);

const char* const kCommandNames[] = {
    "Unknown command",   "SCMD_REQUEST",      "SCMD_KEEP_ALIVE",       "SCMD_AUTH",
    "SCMD_NOTIFY",       "SCMD_LOGOUT",       "SCMD_EVT_PULL",         "SCMD_EVT_RECV",
    "SCMD_NEW_EVT_INFO", "SCMD_EVT_SEND",     "SCMD_USER_CTRL",        "SCMD_TEST_CONN",
    "SCMD_RESPONSE",     "SCMD_USER_CHECK",   "SCMD_REQUEST_CONNECT",  "SCMD_EVT_REMOVE",
    "SCMD_GET_FILTER",   "SCMD_LIST_VIEW",    "SCMD_AUTH_2",           "SCMD_EVT_RECV_2",
    "SCMD_REQUEST_SSL",  "SCMD_EVT_RECV_3",   "SCMD_REQUEST_SSL_2",    "SCMD_PKG_VER_QUERY",
    "SCMD_GET_FOLDER_LIST",
};

const char* const kProtoResultTexts[] = {
    "Protocol finished successfully",
    "Protocol aborted due to interrupt",
    "Protocol aborted due to IO error",
    "Protocol aborted due to authentication failure",
    "Protocol aborted due to invalid argument",
};

// The attributes of `id` when it is a fixed section of `width` bytes (or a
// variable one when width is 0), else null.
const SYNC_SECTION_ATTR_tag* AttrFor(uint8_t id, uint16_t width) {
  const SYNC_SECTION_ATTR_tag* a = ProtoGetSecAttr(id);
  if (a == nullptr) return nullptr;
  if (width == 0 ? !a->hasLen : (a->hasLen || a->len != width)) return nullptr;
  return a;
}

int WriteFixed(Channel& ch, uint8_t id, uint64_t value, uint16_t width) {
  if (AttrFor(id, width) == nullptr) {
    PR_LOG_DEBUG("WriteSection: bad attribute [section = %d]", id);
    return ERR_PROTO;
  }
  uint8_t buf[9] = {id};
  for (int i = 0; i < width; ++i) buf[1 + i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
  return ch.Write(buf, 1u + width);
}

// Reads the id byte of section `id` after checking its attributes.
int ReadSectionId(Channel& ch, uint8_t id, uint16_t width) {
  if (AttrFor(id, width) == nullptr) {
    PR_LOG_DEBUG("ReadSection: bad attribute [sec = %d]", id);
    return ERR_PROTO;
  }
  uint8_t got;
  int rc = ch.ReadByte(got);
  if (rc < 0) return rc;
  if (got != id) {
    PR_LOG_ERR("Expect section id #%d but get section #%d", id, got);
    return ERR_PROTO;
  }
  return ERR_OK;
}

int ReadFixed(Channel& ch, uint8_t id, uint64_t& value, uint16_t width) {
  int rc = ReadSectionId(ch, id, width);
  if (rc < 0) return rc;
  uint8_t buf[8];
  if ((rc = ch.Read(buf, width)) < 0) return rc;
  uint64_t v = 0;
  for (int i = 0; i < width; ++i) v = (v << 8) | buf[i];
  value = v;
  return 1 + width;
}

}  // namespace

// --- settings and tables ------------------------------------------------

void ProtoInit(uint8_t version) { g_proto_version.store(version); }

uint8_t ProtoVersion() { return g_proto_version.load(); }

PV_TEST_CODE ProtoCheck(uint32_t version) {
  if (version / 10 * 10 >= 70) return PV_UNSUPPORT_OLD_CLIENT;
  if (version < 60) return PV_UNSUPPORT_OLD_SERVER;
  if (version == 60) return PV_MATCH_SUPPORT;
  return PV_UNMATCH_SUPPORT;
}

const char* ProtoCmd2String(int code) {
  if (code < 0 || code > 24) return kCommandNames[0];
  return kCommandNames[code];
}

const char* ProtoGetErroString(int code) {
  if (code < 0 || code > 4) return "Unknown protocol error";
  return kProtoResultTexts[code];
}

const SYNC_SECTION_ATTR_tag* ProtoGetSecAttr(int id) {
  if (id < 1 || id > 53) return nullptr;
  return &kSections[id - 1];
}

// --- header -------------------------------------------------------------

int ProtoWriteHeader(Channel& ch, uint16_t payload_len, uint8_t command) {
  int rc = ch.WriteInt32(kProtoMagic);
  if (rc == 0) rc = ch.WriteByte(ProtoVersion());
  if (rc < 0) {
    PR_LOG_ERR("WriteHeader: Failed to write magic");
    return rc;
  }
  if ((rc = ch.WriteByte(command)) < 0) {
    PR_LOG_ERR("WriteHeader: Failed to write command (%d)", command);
    return rc;
  }
  if ((rc = ch.WriteInt16(payload_len)) < 0) {
    PR_LOG_ERR("WriteHeader: Failed to write payload length (%d)", payload_len);
    return rc;
  }
  PR_LOG_DEBUG("WriteHeader: %s, pkt_len = %d", ProtoCmd2String(command), payload_len);
  return ERR_OK;
}

int ProtoReadHeader(Channel& ch, uint16_t& payload_len, uint8_t& command, uint8_t& version) {
  uint32_t magic;
  int rc = ch.ReadInt32(magic);
  if (rc < 0) return rc;
  if (magic != kProtoMagic) {
    PR_LOG_ERR("Invalid protocol (%x)", magic);
    return ERR_PROTO;
  }
  // The rest of the header follows the magic at once; a peer that stalls
  // inside it is given up on after 10 seconds. The caller's time-out, which
  // may be longer on purpose, is back in force afterwards.
  uint32_t saved = ch.GetTimeout();
  ch.SetTimeout(10);
  uint8_t v = 0, c = 0;
  uint16_t len = 0;
  rc = ch.ReadByte(v);
  if (rc == 0) rc = ch.ReadByte(c);
  if (rc == 0) rc = ch.ReadInt16(len);
  ch.SetTimeout(saved);
  if (rc < 0) return rc;
  version = v;
  command = c;
  payload_len = len;
  return ERR_OK;
}

// --- sections -----------------------------------------------------------

int ProtoWriteSection(Channel& ch, uint8_t id, uint8_t value) { return WriteFixed(ch, id, value, 1); }
int ProtoWriteSection(Channel& ch, uint8_t id, uint16_t value) { return WriteFixed(ch, id, value, 2); }
int ProtoWriteSection(Channel& ch, uint8_t id, uint32_t value) { return WriteFixed(ch, id, value, 4); }
int ProtoWriteSection(Channel& ch, uint8_t id, uint64_t value) { return WriteFixed(ch, id, value, 8); }

int ProtoWriteSection(Channel& ch, uint8_t id, const void* buf, size_t len) {
  if (AttrFor(id, 0) == nullptr) {
    PR_LOG_DEBUG("WriteSection: bad attribute [section = %d]", id);
    return ERR_PROTO;
  }
  if (buf == nullptr || len > 0xFFFF) return ERR_INVAL;  // checked before the id goes out
  int rc = ch.WriteByte(id);
  if (rc < 0) return rc;
  return ProtoWriteVarData(ch, buf, len);
}

int ProtoWriteSection(Channel& ch, uint8_t id, const ustring& value) {
  return ProtoWriteSection(ch, id, value.c_str_utf8(), value.size());
}

int ProtoReadSection(Channel& ch, uint8_t id, uint8_t& value) {
  uint64_t v;
  int rc = ReadFixed(ch, id, v, 1);
  if (rc > 0) value = static_cast<uint8_t>(v);
  return rc;
}

int ProtoReadSection(Channel& ch, uint8_t id, uint16_t& value) {
  uint64_t v;
  int rc = ReadFixed(ch, id, v, 2);
  if (rc > 0) value = static_cast<uint16_t>(v);
  return rc;
}

int ProtoReadSection(Channel& ch, uint8_t id, uint32_t& value) {
  uint64_t v;
  int rc = ReadFixed(ch, id, v, 4);
  if (rc > 0) value = static_cast<uint32_t>(v);
  return rc;
}

int ProtoReadSection(Channel& ch, uint8_t id, uint64_t& value) { return ReadFixed(ch, id, value, 8); }

int ProtoReadSection(Channel& ch, uint8_t id, void* buf, size_t capacity, size_t& len) {
  int rc = ReadSectionId(ch, id, 0);
  if (rc < 0) return rc;
  rc = ProtoReadVarData(ch, buf, capacity);
  if (rc < 0) return rc;
  len = static_cast<size_t>(rc);
  return 3 + rc;
}

int ProtoReadSection(Channel& ch, uint8_t id, ustring& value) {
  std::string buf(0xFFFF, '\0');
  size_t len = 0;
  int rc = ProtoReadSection(ch, id, buf.data(), buf.size(), len);
  if (rc < 0) return rc;
  buf.resize(len);
  value = buf;
  return rc;
}

int ProtoWriteVarData(Channel& ch, const void* buf, size_t len) {
  // A length the 16-bit field cannot hold would put the peer out of step.
  if (buf == nullptr || len > 0xFFFF) return ERR_INVAL;
  int rc = ch.WriteInt16(static_cast<uint16_t>(len));
  if (rc == 0 && len > 0) rc = ch.Write(buf, len);
  return rc;
}

int ProtoReadVarData(Channel& ch, void* buf, size_t capacity) {
  if (buf == nullptr || capacity == 0) return ERR_INVAL;
  uint16_t len;
  int rc = ch.ReadInt16(len);
  if (rc < 0) return rc;
  if (len > capacity) {
    PR_LOG_ERR("Expect only %d bytes but %d bytes coming in", static_cast<int>(capacity), len);
    return ERR_PROTO;
  }
  size_t got = 0;
  if (len > 0 && (rc = ch.Read(buf, len, got)) < 0) {
    PR_LOG_ERR("Expected %d bytes but read only %d bytes", len, static_cast<int>(got));
    return rc;
  }
  return len;
}

}  // namespace tidewell
