#include "net/protocol.h"

#include <gtest/gtest.h>

#include <string>

#include "base/error_code.h"
#include "base/sync_pass.h"
#include "net/memory_channel.h"

namespace tidewell {
namespace {

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s.push_back(static_cast<char>(v));
  return s;
}

std::string Flushed(MemoryChannel& ch) {
  EXPECT_EQ(0, ch.FlushWrite(0));
  return ch.output();
}

TEST(ProtocolTest, HeaderBytes) {
  MemoryChannel ch;
  ASSERT_EQ(0, ProtoWriteHeader(ch, 0, SCMD_RESPONSE));
  EXPECT_EQ(Bytes({0x25, 0x52, 0x18, 0x14, 0x3C, 0x0C, 0x00, 0x00}), Flushed(ch));

  ProtoInit(61);
  MemoryChannel ch2;
  ASSERT_EQ(0, ProtoWriteHeader(ch2, 0x0102, SCMD_EVT_PULL));
  EXPECT_EQ(Bytes({0x25, 0x52, 0x18, 0x14, 61, 6, 0x01, 0x02}), Flushed(ch2));
  ProtoInit(kProtoInitialVersion);
}

TEST(ProtocolTest, ReadHeaderChecksMagicAndRestoresTimeout) {
  MemoryChannel ch(Bytes({0x25, 0x52, 0x18, 0x14, 70, 14, 0x00, 0x05}));
  ch.SetTimeout(0);
  uint16_t len = 0;
  uint8_t cmd = 0, version = 0;
  ASSERT_EQ(0, ProtoReadHeader(ch, len, cmd, version));
  EXPECT_EQ(5, len);
  EXPECT_EQ(SCMD_REQUEST_CONNECT, cmd);
  EXPECT_EQ(70, version) << "the version is handed back untested";
  EXPECT_EQ(0u, ch.GetTimeout()) << "the caller's time-out is back";

  MemoryChannel bad(Bytes({0x25, 0x52, 0x18, 0x15, 60, 1, 0, 0}));
  EXPECT_EQ(ERR_PROTO, ProtoReadHeader(bad, len, cmd, version));
  MemoryChannel cut(Bytes({0x25, 0x52, 0x18, 0x14, 60}));
  EXPECT_EQ(ERR_IO, ProtoReadHeader(cut, len, cmd, version));
}

TEST(ProtocolTest, Tables) {
  EXPECT_EQ(PV_UNSUPPORT_OLD_CLIENT, ProtoCheck(75));
  EXPECT_EQ(PV_UNSUPPORT_OLD_CLIENT, ProtoCheck(70));
  EXPECT_EQ(PV_UNSUPPORT_OLD_SERVER, ProtoCheck(59));
  EXPECT_EQ(PV_MATCH_SUPPORT, ProtoCheck(60));
  EXPECT_EQ(PV_UNMATCH_SUPPORT, ProtoCheck(65));
  EXPECT_EQ(PV_UNMATCH_SUPPORT, ProtoCheck(69));
  EXPECT_STREQ("Unknown command", ProtoCmd2String(25));
  EXPECT_STREQ("Unknown command", ProtoCmd2String(0));
  EXPECT_STREQ("SCMD_RESPONSE", ProtoCmd2String(12));
  EXPECT_STREQ("SCMD_GET_FOLDER_LIST", ProtoCmd2String(24));
  EXPECT_STREQ("Protocol aborted due to IO error", ProtoGetErroString(2));
  EXPECT_STREQ("Unknown protocol error", ProtoGetErroString(5));
  EXPECT_EQ(nullptr, ProtoGetSecAttr(0));
  EXPECT_EQ(nullptr, ProtoGetSecAttr(54));
  const SYNC_SECTION_ATTR_tag* data = ProtoGetSecAttr(SPROTO_ID_DELTADATA);
  ASSERT_NE(nullptr, data);
  EXPECT_TRUE(data->hasLen);
  EXPECT_EQ(3, data->headLen);
  EXPECT_STREQ("SPROTO_ID_DELTADATA", data->name);
  const SYNC_SECTION_ATTR_tag* pkg = ProtoGetSecAttr(SPROTO_ID_PKG_MINOR_VERSION);
  EXPECT_EQ(2, pkg->len);
  EXPECT_EQ(1, pkg->headLen);
  for (int id = 1; id <= 53; ++id) EXPECT_EQ(id, ProtoGetSecAttr(id)->id);
}

TEST(ProtocolTest, FixedSectionsMustMatchTheirWidth) {
  MemoryChannel ch;
  EXPECT_EQ(ERR_PROTO, ProtoWriteSection(ch, SPROTO_ID_SID, uint32_t{5}));
  EXPECT_EQ(ERR_PROTO, ProtoWriteSection(ch, 54, uint8_t{5}));
  EXPECT_EQ(ERR_PROTO, ProtoWriteSection(ch, SPROTO_ID_PATH, uint64_t{5})) << "a variable section";
  EXPECT_EQ("", Flushed(ch)) << "nothing written";
  ASSERT_EQ(0, ProtoWriteSection(ch, SPROTO_ID_SID, uint64_t{0x0102030405060708ull}));
  ASSERT_EQ(0, ProtoWriteSection(ch, SPROTO_ID_PKG_MAJOR_VERSION, uint16_t{0xBEEF}));
  ASSERT_EQ(0, ProtoWriteSection(ch, SPROTO_ID_RES, uint8_t{7}));
  EXPECT_EQ(Bytes({9, 1, 2, 3, 4, 5, 6, 7, 8, 47, 0xBE, 0xEF, 1, 7}), Flushed(ch));

  MemoryChannel in(ch.output());
  uint64_t sid = 0;
  uint16_t major = 0;
  uint8_t res = 0;
  EXPECT_EQ(9, ProtoReadSection(in, SPROTO_ID_SID, sid));
  EXPECT_EQ(0x0102030405060708ull, sid);
  EXPECT_EQ(3, ProtoReadSection(in, SPROTO_ID_PKG_MAJOR_VERSION, major));
  EXPECT_EQ(0xBEEF, major);
  EXPECT_EQ(2, ProtoReadSection(in, SPROTO_ID_RES, res));
  EXPECT_EQ(7, res);
}

TEST(ProtocolTest, ReadingTheWrongSectionFailsAfterConsumingItsId) {
  MemoryChannel ch(Bytes({13, 0, 0, 0, 0, 0, 0, 0, 1}));
  uint32_t seq = 99;
  EXPECT_EQ(ERR_PROTO, ProtoReadSection(ch, SPROTO_ID_SEQID, seq));
  EXPECT_EQ(99u, seq);
  uint8_t next;
  ASSERT_EQ(0, ch.ReadByte(next));
  EXPECT_EQ(0, next) << "only the id byte was consumed";
  uint64_t wrong_width;
  EXPECT_EQ(ERR_PROTO, ProtoReadSection(ch, SPROTO_ID_SEQID, wrong_width));
}

TEST(ProtocolTest, VariableData) {
  MemoryChannel ch;
  ASSERT_EQ(0, ProtoWriteSection(ch, SPROTO_ID_PATH, ustring("/a/b")));
  ASSERT_EQ(0, ProtoWriteVarData(ch, "", 0));
  EXPECT_EQ(ERR_INVAL, ProtoWriteVarData(ch, nullptr, 1));
  std::string big(65536, 'x');
  EXPECT_EQ(ERR_INVAL, ProtoWriteVarData(ch, big.data(), big.size())) << "the 16-bit length cannot say it";
  EXPECT_EQ(ERR_INVAL, ProtoWriteSection(ch, SPROTO_ID_PATH, big.data(), big.size()));
  EXPECT_EQ(Bytes({7, 0, 4, '/', 'a', '/', 'b', 0, 0}), Flushed(ch));

  MemoryChannel in(ch.output());
  ustring path;
  EXPECT_EQ(7, ProtoReadSection(in, SPROTO_ID_PATH, path));
  EXPECT_EQ("/a/b", path);
  char buf[1];
  EXPECT_EQ(0, ProtoReadVarData(in, buf, sizeof buf));
  EXPECT_EQ(ERR_INVAL, ProtoReadVarData(in, buf, 0));

  MemoryChannel too_long(Bytes({0, 3, 'a', 'b', 'c'}));
  EXPECT_EQ(ERR_PROTO, ProtoReadVarData(too_long, buf, sizeof buf));
  MemoryChannel short_data(Bytes({0, 3, 'a'}));
  char three[3];
  EXPECT_EQ(ERR_IO, ProtoReadVarData(short_data, three, sizeof three));
}

TEST(ProtocolTest, Strings) {
  MemoryChannel ch;
  ASSERT_EQ(0, ProtoWriteString(ch, std::string("ab")));
  ASSERT_EQ(0, ProtoWriteString(ch, ustring("\xC3\xA9")));
  ASSERT_EQ(0, ProtoWriteString(ch, std::u16string(u"h\u00e9")));
  EXPECT_EQ(Bytes({0, 2, 'a', 'b', 0, 2, 0xC3, 0xA9, 0, 4, 'h', 0xC3, 0xA9, 0}), Flushed(ch));

  MemoryChannel in(ch.output());
  std::string narrow;
  ustring u;
  std::u16string wide;
  EXPECT_EQ(2, ProtoReadString(in, narrow));
  EXPECT_EQ("ab", narrow);
  EXPECT_EQ(2, ProtoReadString(in, u));
  EXPECT_EQ("\xC3\xA9", u);
  EXPECT_EQ(4, ProtoReadString(in, wide));
  EXPECT_EQ(u"h\u00e9", wide);

  MemoryChannel out;
  EXPECT_EQ(ERR_INVAL, ProtoWriteString(out, std::u16string(8192, u'x'))) << "8191 bytes and the zero at most";
  EXPECT_EQ(0, ProtoWriteString(out, std::u16string(8191, u'x')));
  std::u16string unpaired(1, static_cast<char16_t>(0xD800));
  EXPECT_EQ(ERR_INVAL, ProtoWriteString(out, unpaired));
}

TEST(ProtocolTest, EncryptedStrings) {
  std::string encoded;
  ASSERT_EQ(0, SyncPassEnc("s3cret pass", encoded));
  MemoryChannel ch;
  ASSERT_EQ(0, ProtoWriteEncString(ch, "s3cret pass"));
  ASSERT_EQ(0, ProtoWriteEncSection(ch, SPROTO_ID_PASSWD, "other"));
  ASSERT_EQ(0, ProtoWriteEncString(ch, ""));
  std::string wire = Flushed(ch);
  EXPECT_EQ(Bytes({0, static_cast<int>(encoded.size())}) + encoded, wire.substr(0, 2 + encoded.size()));
  EXPECT_EQ(std::string::npos, wire.find("s3cret")) << "the password never travels in clear";

  MemoryChannel in(wire);
  std::string plain;
  EXPECT_EQ(11, ProtoReadDecString(in, plain));
  EXPECT_EQ("s3cret pass", plain);
  EXPECT_EQ(5, ProtoReadDecSection(in, SPROTO_ID_PASSWD, plain));
  EXPECT_EQ("other", plain);
  EXPECT_EQ(0, ProtoReadDecString(in, plain));
  EXPECT_EQ("", plain);

  MemoryChannel garbage(Bytes({0, 3, '!', '!', '!'}));
  EXPECT_EQ(ERR_SYS, ProtoReadDecString(garbage, plain));
}

TEST(ProtocolTest, Records) {
  MemoryChannel ch;
  ASSERT_EQ(0, ProtoWriteView(ch, View{77, ustring("docs")}));
  ASSERT_EQ(0, ProtoWriteObjectId(ch, ObjectID{5, ustring("/x")}));
  ASSERT_EQ(0, ProtoWriteObjectMetadata(ch, ObjectMetadata{1000, 1700000000u, ustring("abcd")}));
  ASSERT_EQ(0, ProtoWriteCommonAttributeBlock(ch, CommonAttributeBlock{42}));
  ASSERT_EQ(0, ProtoWriteProtocolVersion(ch, ProtocolVersion{1, 2, 3}));
  ASSERT_EQ(0, ProtoWriteFilterVersion(ch, FilterVersion{4, 0, 4294967295u}));
  std::string wire = Flushed(ch);
  EXPECT_EQ(Bytes({36, 0, 0, 0, 0, 0, 0, 0, 77, 37, 0, 4, 'd', 'o', 'c', 's'}), wire.substr(0, 16));
  EXPECT_NE(std::string::npos, wire.find(Bytes({41, 0, 5, '1', '.', '2', '.', '3'})));

  MemoryChannel in(wire);
  View v;
  ObjectID id;
  ObjectMetadata meta;
  CommonAttributeBlock attr;
  ProtocolVersion pv;
  FilterVersion fv;
  EXPECT_GT(ProtoReadView(in, v), 0);
  EXPECT_GT(ProtoReadObjectId(in, id), 0);
  EXPECT_GT(ProtoReadObjectMetadata(in, meta), 0);
  EXPECT_GT(ProtoReadCommonAttributeBlock(in, attr), 0);
  EXPECT_GT(ProtoReadProtocolVersion(in, pv), 0);
  EXPECT_GT(ProtoReadFilterVersion(in, fv), 0);
  EXPECT_EQ(77u, v.view_id);
  EXPECT_EQ("docs", v.name);
  EXPECT_EQ(5u, id.sync_id);
  EXPECT_EQ("/x", id.path);
  EXPECT_EQ(1000u, meta.size);
  EXPECT_EQ(1700000000u, meta.mtime);
  EXPECT_EQ("abcd", meta.hash);
  EXPECT_EQ(42u, attr.mtime);
  EXPECT_EQ(3u, pv.build);
  EXPECT_EQ(4294967295u, fv.build);

  for (const char* bad : {"1.2", "a.b.c", "1.2.99999999999", ""}) {
    MemoryChannel out;
    ASSERT_EQ(0, ProtoWriteSection(out, SPROTO_ID_PROTO_VERSION_2, ustring(bad)));
    MemoryChannel back(Flushed(out));
    EXPECT_EQ(ERR_PROTO, ProtoReadProtocolVersion(back, pv)) << bad;
  }
}

}  // namespace
}  // namespace tidewell
