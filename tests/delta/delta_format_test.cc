// The command encoders at every width boundary, read back by the patch
// reader: a value written one width too narrow loses its top bits, and the
// rebuilt file then shows it.

#include "delta/delta_format.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "common/random.h"
#include "common/temp_dir.h"
#include "delta/delta_file_reader.h"

namespace tidewell {
namespace {

using testing::RandomBytes;

constexpr uint64_t k4G = uint64_t{1} << 32;

std::string Magic() {
  uint8_t m[4];
  PutBigEndian(m, kDeltaMagic, 4);
  return std::string(reinterpret_cast<char*>(m), 4);
}

std::string Copy(uint64_t offset, uint64_t length) {
  uint8_t command[17];
  return std::string(reinterpret_cast<char*>(command), EncodeCopy(offset, length, command));
}

std::string LiteralHeader(uint64_t length) {
  uint8_t header[9];
  return std::string(reinterpret_cast<char*>(header), EncodeLiteralHeader(length, header));
}

class DeltaFormatTest : public ::testing::Test {
 protected:
  // Applies `commands` (between the magic and the end command) to the basis.
  int Patch(const std::string& commands, DeltaFault* fault = nullptr) {
    dir_.WriteFile("delta", Magic() + commands + std::string(1, '\0'));
    DeltaFileReader reader;
    reader.setFile(ustring(dir_.Join("delta")), ustring(dir_.Join("basis")));
    reader.setNewFile(ustring(dir_.Join("new")));
    const int rc = reader.readFile();
    if (fault != nullptr) *fault = reader.fault();
    return rc;
  }

  testing::TempDir dir_;
};

// A sparse basis a little over 4 GiB, with distinct bytes just below and at
// each offset boundary and random bytes at the front for the lengths.
TEST_F(DeltaFormatTest, CopiesAtEveryWidthBoundaryAreReadBackExactly) {
  const std::string front = RandomBytes(31, 70000);
  const uint64_t size = k4G + 65536;
  {
    const int fd = open(dir_.Join("basis").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(size)));
    ASSERT_EQ(static_cast<ssize_t>(front.size()), pwrite(fd, front.data(), front.size(), 0));
    for (uint64_t at : {uint64_t{65535}, k4G - 1, k4G}) {
      const std::string marks = RandomBytes(at, 16);
      ASSERT_EQ(16, pwrite(fd, marks.data(), 16, static_cast<off_t>(at)));
    }
    close(fd);
  }
  auto basis_at = [&](uint64_t at, size_t n) {
    std::string out(n, '\0');
    const int fd = open(dir_.Join("basis").c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(static_cast<ssize_t>(n), pread(fd, out.data(), n, static_cast<off_t>(at)));
    close(fd);
    return out;
  };

  struct Case {
    uint64_t offset;
    uint64_t length;
    size_t command_size;  // opcode plus both widths
  } cases[] = {
      {255, 16, 1 + 1 + 1},          // the last one-byte offset
      {256, 16, 1 + 2 + 1},          // the first two-byte offset
      {65535, 16, 1 + 2 + 1},
      {65536, 16, 1 + 4 + 1},        // the first four-byte offset
      {k4G - 1, 16, 1 + 4 + 1},
      {k4G, 16, 1 + 8 + 1},          // the first eight-byte offset
      {0, 255, 1 + 1 + 1},           // the last one-byte length
      {0, 256, 1 + 1 + 2},           // the first two-byte length
      {0, 65535, 1 + 1 + 2},
      {0, 65536, 1 + 1 + 4},         // the first four-byte length
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("offset " + std::to_string(c.offset) + " length " + std::to_string(c.length));
    const std::string command = Copy(c.offset, c.length);
    EXPECT_EQ(c.command_size, command.size());
    ASSERT_EQ(0, Patch(command));
    EXPECT_TRUE(dir_.ReadFile("new") == basis_at(c.offset, c.length));
  }

  // Lengths of 4 GiB cannot be rebuilt here; against a basis of 64 KiB
  // they must read as too long, not as a short (or empty) copy, which a too
  // narrow width would give.
  dir_.WriteFile("basis", front.substr(0, 65536));
  for (uint64_t length : {k4G - 1, k4G}) {
    SCOPED_TRACE("length " + std::to_string(length));
    const std::string command = Copy(0, length);
    EXPECT_EQ(length == k4G ? 1u + 1 + 8 : 1u + 1 + 4, command.size());
    DeltaFault fault = DeltaFault::kNone;
    EXPECT_EQ(DELTA_ERR_IO, Patch(command, &fault));
    EXPECT_EQ(DeltaFault::kBasisTooShort, fault);
  }
}

TEST_F(DeltaFormatTest, LiteralsAtEveryWidthBoundaryAreReadBackExactly) {
  dir_.WriteFile("basis", "");
  struct Case {
    uint64_t length;
    size_t header_size;
  } cases[] = {
      {1, 1},
      {kOpLiteralImmediateMax, 1},  // the longest immediate literal
      {kOpLiteralImmediateMax + 1, 2},
      {255, 2},      // the last one-byte length
      {256, 3},      // the first two-byte length
      {65535, 3},
      {65536, 5},    // the first four-byte length
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("length " + std::to_string(c.length));
    const std::string header = LiteralHeader(c.length);
    EXPECT_EQ(c.header_size, header.size());
    const std::string data = RandomBytes(c.length, c.length);
    ASSERT_EQ(0, Patch(header + data));
    EXPECT_TRUE(dir_.ReadFile("new") == data);
  }
  // The widest forms, too long to rebuild: the header as the reader's
  // table reads it.
  struct Wide {
    uint64_t length;
    uint8_t opcode;
  } wide[] = {
      {0x7FFFFFFF, kOpLiteralN1 + 2},       // four bytes up to 2^31 - 1
      {uint64_t{1} << 31, kOpLiteralN1 + 3},  // eight bytes from 2^31
      {k4G, kOpLiteralN1 + 3},
  };
  for (const Wide& w : wide) {
    SCOPED_TRACE("length " + std::to_string(w.length));
    const std::string header = LiteralHeader(w.length);
    const CmdInfo& info = RSConstant::getInfo(static_cast<uint8_t>(header[0]));
    EXPECT_EQ(w.opcode, static_cast<uint8_t>(header[0]));
    ASSERT_EQ(1u + info.len_1, header.size());
    EXPECT_EQ(w.length, GetBigEndian(reinterpret_cast<const uint8_t*>(header.data()) + 1, info.len_1));
  }
}

}  // namespace
}  // namespace tidewell
