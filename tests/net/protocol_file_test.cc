#include "net/protocol_file.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/error_code.h"
#include "common/temp_dir.h"
#include "net/memory_channel.h"
#include "net/protocol.h"
#include "net_test_util.h"

namespace tidewell {
namespace {

class ProtocolFileTest : public ::testing::Test {
 protected:
  ustring Path(const std::string& name) { return ustring(dir_.Join(name)); }

  tidewell::testing::TempDir dir_;
  std::mt19937_64 rng_{5};
};

TEST_F(ProtocolFileTest, WholeFileRoundTripsAtBlockBoundaries) {
  for (size_t size : {size_t{0}, size_t{1}, kFileBlock - 1, kFileBlock, kFileBlock + 1, size_t{100000}}) {
    std::string content = testing::RandomBytes(rng_, size);
    dir_.WriteFile("src", content);
    MemoryChannel out;
    ASSERT_EQ(0, ProtoWriteFile(out, true, Path("src")));
    size_t blocks = (size + kFileBlock - 1) / kFileBlock;
    ASSERT_EQ(2 + 9 + blocks * 8 + size, out.output().size()) << size;

    MemoryChannel in(out.output());
    bool is_delta = false;
    ASSERT_EQ(0, ProtoReadFile(in, is_delta, Path("dst")));
    EXPECT_TRUE(is_delta);
    EXPECT_TRUE(content == dir_.ReadFile("dst")) << size;
    EXPECT_EQ(out.output().size(), in.consumed()) << "nothing left unread";
  }
}

TEST_F(ProtocolFileTest, SectionLayout) {
  dir_.WriteFile("src", std::string(kFileBlock + 2, 'q'));
  MemoryChannel out;
  ASSERT_EQ(0, ProtoWriteFile(out, false, Path("src")));
  const std::string& w = out.output();
  std::string head = std::string("\x19\x00\x15\0\0\0\0\0\0\x20\x02", 11);
  EXPECT_EQ(head, w.substr(0, 11));
  EXPECT_EQ(std::string("\x18\0\0\x05\x00\x16\x20\x00", 8), w.substr(11, 8)) << "block 1280 of 8192 bytes";
  EXPECT_EQ(std::string("\x18\0\0\x05\x01\x16\x00\x02", 8), w.substr(19 + kFileBlock, 8)) << "block 1281";
}

TEST_F(ProtocolFileTest, SecondFormResumesFromAnOffset) {
  std::string content = testing::RandomBytes(rng_, 200000);
  dir_.WriteFile("src", content);
  dir_.WriteFile("dst", content.substr(0, 70000) + "stale tail that must go");
  MemoryChannel out;
  ASSERT_EQ(0, ProtoWriteFile2(out, false, Path("src"), 70000));
  size_t left = content.size() - 70000;
  size_t blocks = (left + kFileBlock2 - 1) / kFileBlock2;
  EXPECT_EQ(2 + 9 + blocks * 8 + left, out.output().size());

  MemoryChannel in(out.output());
  bool is_delta = true;
  ASSERT_EQ(0, ProtoReadFile2(in, is_delta, Path("dst"), 70000));
  EXPECT_FALSE(is_delta);
  EXPECT_TRUE(content == dir_.ReadFile("dst"));

  MemoryChannel again(out.output());
  dir_.WriteFile("short", "abc");
  EXPECT_EQ(ERR_INVAL, ProtoReadFile2(again, is_delta, Path("short"), 70000));
  EXPECT_EQ("abc", dir_.ReadFile("short"));

  MemoryChannel beyond;
  EXPECT_EQ(ERR_INVAL, ProtoWriteFile2(beyond, false, Path("src"), content.size() + 1));
  EXPECT_EQ("", beyond.output());
}

TEST_F(ProtocolFileTest, HostileBlocksAreRefused) {
  bool d;
  // Size 4, then a block of 5 bytes.
  std::string too_big = std::string("\x19\x00\x15\0\0\0\0\0\0\0\x04\x18\0\0\x05\0\x16\0\x05" "abcde", 24);
  MemoryChannel a(too_big);
  EXPECT_EQ(ERR_PROTO, ProtoReadFile(a, d, Path("a")));
  std::string empty_block = std::string("\x19\x00\x15\0\0\0\0\0\0\0\x04\x18\0\0\x05\0\x16\0\x00", 19);
  MemoryChannel b(empty_block);
  EXPECT_EQ(ERR_PROTO, ProtoReadFile(b, d, Path("b")));
  std::string wrong_section = std::string("\x15\0\0\0\0\0\0\0\x04", 9);
  MemoryChannel c(wrong_section);
  EXPECT_EQ(ERR_PROTO, ProtoReadFile(c, d, Path("c")));
  std::string cut = std::string("\x19\x00\x15\0\0\0\0\0\0\0\x09\x18\0\0\x05\0\x16\0\x04" "abcd", 23);
  MemoryChannel e(cut);
  EXPECT_EQ(ERR_IO, ProtoReadFile(e, d, Path("e"))) << "peer gone before the announced size";
  MemoryChannel offset_beyond(std::string("\x19\x00\x15\0\0\0\0\0\0\0\x04", 11));
  EXPECT_EQ(ERR_PROTO, ProtoReadFile2(offset_beyond, d, Path("f"), 5));
}

TEST_F(ProtocolFileTest, FullDiskAndMissingFiles) {
  dir_.WriteFile("src", std::string(300000, 'z'));
  MemoryChannel out;
  ASSERT_EQ(0, ProtoWriteFile(out, false, Path("src")));
  MemoryChannel in(out.output());
  bool d;
  EXPECT_EQ(ERR_LOCAL_DISKFULL, ProtoReadFile(in, d, ustring("/dev/full")));

  MemoryChannel none;
  EXPECT_EQ(ERR_SYS, ProtoWriteFile(none, false, Path("absent")));
  EXPECT_EQ(ERR_INVAL, ProtoWriteFile(none, false, static_cast<FILE*>(nullptr)));
}

}  // namespace
}  // namespace tidewell
