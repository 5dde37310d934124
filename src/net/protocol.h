// The server protocol's framing and vocabulary: the packet header, command
// codes, the typed sections of the older message forms, strings, encrypted
// strings and the small records built from sections. The byte layout is in
// docs/protocol.md.
//
// All functions take the channel first and return 0 (reads of sections:
// the number of bytes consumed) or a negative daemon code: the channel's own
// code passed through, ERR_PROTO for a header or section that does not fit,
// ERR_INVAL for arguments the format cannot carry. Log lines go to
// "proto_common_debug". Thread-safe as far as the channel is.

#ifndef TIDEWELL_NET_PROTOCOL_H_
#define TIDEWELL_NET_PROTOCOL_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/ustring.h"
#include "net/channel.h"

namespace tidewell {

inline constexpr uint32_t kProtoMagic = 0x25521814;
inline constexpr uint8_t kProtoInitialVersion = 60;

// Command codes.
enum ProtoCommand : uint8_t {
  SCMD_REQUEST = 1,
  SCMD_KEEP_ALIVE = 2,
  SCMD_AUTH = 3,
  SCMD_NOTIFY = 4,
  SCMD_LOGOUT = 5,
  SCMD_EVT_PULL = 6,
  SCMD_EVT_RECV = 7,
  SCMD_NEW_EVT_INFO = 8,
  SCMD_EVT_SEND = 9,
  SCMD_USER_CTRL = 10,
  SCMD_TEST_CONN = 11,
  SCMD_RESPONSE = 12,
  SCMD_USER_CHECK = 13,
  SCMD_REQUEST_CONNECT = 14,
  SCMD_EVT_REMOVE = 15,
  SCMD_GET_FILTER = 16,
  SCMD_LIST_VIEW = 17,
  SCMD_AUTH_2 = 18,
  SCMD_EVT_RECV_2 = 19,
  SCMD_REQUEST_SSL = 20,
  SCMD_EVT_RECV_3 = 21,
  SCMD_REQUEST_SSL_2 = 22,
  SCMD_PKG_VER_QUERY = 23,
  SCMD_GET_FOLDER_LIST = 24,
};

// Section ids (1 to 53).
enum ProtoSection : uint8_t {
  SPROTO_ID_RES = 1,
  SPROTO_ID_TYPE = 2,
  SPROTO_ID_USER = 3,
  SPROTO_ID_PASSWD = 4,
  SPROTO_ID_CLIENT = 5,
  SPROTO_ID_SESSION = 6,
  SPROTO_ID_PATH = 7,
  SPROTO_ID_NOTIFY = 8,
  SPROTO_ID_SID = 9,
  SPROTO_ID_PREFIX = 10,
  SPROTO_ID_EVT_COUNT = 11,
  SPROTO_ID_SEQID = 12,
  SPROTO_ID_EVTID = 13,
  SPROTO_ID_FILETYPE = 14,
  SPROTO_ID_FILESTATUS = 15,
  SPROTO_ID_FILEHASH = 16,
  SPROTO_ID_FILETIME = 17,
  SPROTO_ID_FILESIZE = 18,
  SPROTO_ID_FILEUPDATER = 19,
  SPROTO_ID_FILEOP = 20,
  SPROTO_ID_DELTALEN = 21,
  SPROTO_ID_DELTADATA = 22,
  SPROTO_ID_DELTACOUNT = 23,
  SPROTO_ID_DELTAID = 24,
  SPROTO_ID_DELTATYPE = 25,
  SPROTO_ID_USRENABLE = 26,
  SPROTO_ID_SERIAL_NUMBER = 27,
  SPROTO_ID_PROTO_VERSION = 28,
  SPROTO_ID_SERVER_ID = 29,
  SPROTO_ID_ALIVE = 30,
  SPROTO_ID_DATA_BLOCK = 31,
  SPROTO_ID_SYNC_BLOCK = 32,
  SPROTO_ID_MACHASH = 33,
  SPROTO_ID_MACSIZE = 34,
  SPROTO_ID_AUTH_TYPE = 35,
  SPROTO_ID_VIEW_ID = 36,
  SPROTO_ID_VIEW_NAME = 37,
  SPROTO_ID_VIEW_COUNT = 38,
  SPROTO_ID_META_BLOCK = 39,
  SPROTO_ID_FILTER_VERSION = 40,
  SPROTO_ID_PROTO_VERSION_2 = 41,
  SPROTO_ID_KEEP_ALIVE_OPTION = 42,
  SPROTO_ID_KEEP_ALIVE_CONTROL = 43,
  SPROTO_ID_ACK_OPTION = 44,
  SPROTO_ID_SSL_OPTION = 45,
  SPROTO_ID_SSL_RESPONSE_OPTION = 46,
  SPROTO_ID_PKG_MAJOR_VERSION = 47,
  SPROTO_ID_PKG_MINOR_VERSION = 48,
  SPROTO_ID_PKG_BUILDNUM = 49,
  SPROTO_ID_FOLDER_COUNT = 50,
  SPROTO_ID_JOB_TOKEN = 51,
  SPROTO_ID_FILE_OFFSET = 52,
  SPROTO_ID_PATCH_TOKEN = 53,
};

// What a section id carries.
struct SYNC_SECTION_ATTR_tag {
  uint8_t id;
  bool hasLen;       // variable length: a 16-bit length, then the bytes
  uint16_t headLen;  // bytes before the data: 1 (fixed) or 3 (variable)
  uint16_t len;      // width of a fixed section's integer; 0 for variable
  const char* name;
};

// Verdicts of ProtoCheck.
enum PV_TEST_CODE {
  PV_MATCH_SUPPORT = 0,
  PV_UNMATCH_SUPPORT = 1,
  PV_UNSUPPORT_OLD_SERVER = 2,
  PV_UNSUPPORT_OLD_CLIENT = 3,
};

struct CommonAttributeBlock {
  uint32_t mtime = 0;
};
struct View {
  uint64_t view_id = 0;
  ustring name;
};
struct ObjectID {
  uint64_t sync_id = 0;
  ustring path;
};
struct ObjectMetadata {
  uint64_t size = 0;
  uint32_t mtime = 0;
  ustring hash;
};
struct ProtocolVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
};
struct FilterVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
};

// --- settings and tables ------------------------------------------------

// Replaces the protocol version byte sent in every header (60 at start).
// Thread-safe.
void ProtoInit(uint8_t version);
uint8_t ProtoVersion();
// How this client stands to a server speaking `version`.
PV_TEST_CODE ProtoCheck(uint32_t version);
// The command's name; "Unknown command" for 0 and codes above 24.
const char* ProtoCmd2String(int code);
// Texts of the protocol results 0 to 4; "Unknown protocol error" otherwise.
const char* ProtoGetErroString(int code);
// The attributes of section `id`, or null outside 1 to 53.
const SYNC_SECTION_ATTR_tag* ProtoGetSecAttr(int id);

// --- header -------------------------------------------------------------

// magic, version byte, command, payload length.
[[nodiscard]] int ProtoWriteHeader(Channel& ch, uint16_t payload_len, uint8_t command);
// Reads a header; ERR_PROTO for a wrong magic. The rest of the header is
// read with a 10-second time-out; the channel's own time-out is restored
// afterwards. The version byte is handed back untested.
[[nodiscard]] int ProtoReadHeader(Channel& ch, uint16_t& payload_len, uint8_t& command, uint8_t& version);

// --- sections -----------------------------------------------------------

// Fixed sections: the id must name a section of exactly that width,
// otherwise ERR_PROTO and nothing is written. Integers of other widths do
// not convert silently: call with an explicitly typed value.
[[nodiscard]] int ProtoWriteSection(Channel& ch, uint8_t id, uint8_t value);
[[nodiscard]] int ProtoWriteSection(Channel& ch, uint8_t id, uint16_t value);
[[nodiscard]] int ProtoWriteSection(Channel& ch, uint8_t id, uint32_t value);
[[nodiscard]] int ProtoWriteSection(Channel& ch, uint8_t id, uint64_t value);
// Variable sections: at most 65,535 bytes (ERR_INVAL beyond).
[[nodiscard]] int ProtoWriteSection(Channel& ch, uint8_t id, const void* buf, size_t len);
[[nodiscard]] int ProtoWriteSection(Channel& ch, uint8_t id, const ustring& value);

// Reads the section `id`; ERR_PROTO when the attributes do not fit or the
// next section has another id (that id byte is consumed). Returns the bytes
// consumed.
[[nodiscard]] int ProtoReadSection(Channel& ch, uint8_t id, uint8_t& value);
[[nodiscard]] int ProtoReadSection(Channel& ch, uint8_t id, uint16_t& value);
[[nodiscard]] int ProtoReadSection(Channel& ch, uint8_t id, uint32_t& value);
[[nodiscard]] int ProtoReadSection(Channel& ch, uint8_t id, uint64_t& value);
// Reads a variable section into `buf` of `capacity` bytes; `len` gets the
// data length. ERR_PROTO when it does not fit.
[[nodiscard]] int ProtoReadSection(Channel& ch, uint8_t id, void* buf, size_t capacity, size_t& len);
[[nodiscard]] int ProtoReadSection(Channel& ch, uint8_t id, ustring& value);

// Variable data: a 16-bit length and the bytes. Writing more than 65,535
// bytes, or from a null buffer, is ERR_INVAL. Reading returns the length;
// ERR_INVAL for a null buffer or zero capacity, ERR_PROTO when the data does
// not fit in `capacity`.
[[nodiscard]] int ProtoWriteVarData(Channel& ch, const void* buf, size_t len);
[[nodiscard]] int ProtoReadVarData(Channel& ch, void* buf, size_t capacity);

// --- strings ------------------------------------------------------------

// Narrow strings and ustrings travel as their bytes; wide strings as UTF-8
// with a terminating zero byte, at most 8,192 bytes with it. Reading a wide
// string stops at the first zero byte. Return 0 or a code (reads: the
// length read).
[[nodiscard]] int ProtoWriteString(Channel& ch, const std::string& value);
[[nodiscard]] int ProtoReadString(Channel& ch, std::string& value);
[[nodiscard]] int ProtoWriteString(Channel& ch, const ustring& value);
[[nodiscard]] int ProtoReadString(Channel& ch, ustring& value);
[[nodiscard]] int ProtoWriteString(Channel& ch, const std::u16string& value);
[[nodiscard]] int ProtoReadString(Channel& ch, std::u16string& value);

// Passwords: encoded with SyncPassEnc and sent as variable data (or as the
// variable section `id`). Reading takes at most 8,192 bytes, up to the first
// zero byte, and decodes them; returns the decoded length. A text that
// cannot be encoded or decoded is ERR_SYS.
[[nodiscard]] int ProtoWriteEncString(Channel& ch, const std::string& plain);
[[nodiscard]] int ProtoReadDecString(Channel& ch, std::string& plain);
[[nodiscard]] int ProtoWriteEncSection(Channel& ch, uint8_t id, const std::string& plain);
[[nodiscard]] int ProtoReadDecSection(Channel& ch, uint8_t id, std::string& plain);

// --- records ------------------------------------------------------------

[[nodiscard]] int ProtoWriteView(Channel& ch, const View& v);
[[nodiscard]] int ProtoReadView(Channel& ch, View& v);
[[nodiscard]] int ProtoWriteObjectId(Channel& ch, const ObjectID& v);
[[nodiscard]] int ProtoReadObjectId(Channel& ch, ObjectID& v);
[[nodiscard]] int ProtoWriteObjectMetadata(Channel& ch, const ObjectMetadata& v);
[[nodiscard]] int ProtoReadObjectMetadata(Channel& ch, ObjectMetadata& v);
[[nodiscard]] int ProtoWriteCommonAttributeBlock(Channel& ch, const CommonAttributeBlock& v);
[[nodiscard]] int ProtoReadCommonAttributeBlock(Channel& ch, CommonAttributeBlock& v);
// Versions travel as the text "major.minor.build"; a text that is not three
// decimal numbers is ERR_PROTO.
[[nodiscard]] int ProtoWriteProtocolVersion(Channel& ch, const ProtocolVersion& v);
[[nodiscard]] int ProtoReadProtocolVersion(Channel& ch, ProtocolVersion& v);
[[nodiscard]] int ProtoWriteFilterVersion(Channel& ch, const FilterVersion& v);
[[nodiscard]] int ProtoReadFilterVersion(Channel& ch, FilterVersion& v);

}  // namespace tidewell

#endif  // TIDEWELL_NET_PROTOCOL_H_
