#include "delta/delta_file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>

#include <gtest/gtest.h>

#include "common/blocked_thread.h"
#include "common/random.h"
#include "delta/diagnostics.h"
#include "platform/durable_replace.h"
#include "platform/fault_seam.h"
#include "platform/fd_io.h"
#include "delta_test_util.h"

namespace tidewell {
namespace {

using testing::ApplyDelta;
using testing::Bytes;
using testing::MakeDelta;
using testing::MakeSignature;
using testing::RandomBytes;
using testing::TempDir;

const std::string kMagic = Bytes({0x72, 0x73, 0x02, 0x36});

class DeltaFileReaderTest : public ::testing::Test {
 protected:
  int Patch(const std::string& delta, DeltaFault* fault = nullptr) {
    dir_.WriteFile("delta", delta);
    DeltaFileReader reader;
    reader.setFile(ustring(dir_.Join("delta")), ustring(dir_.Join("basis")));
    reader.setNewFile(ustring(dir_.Join("new")));
    const int rc = reader.readFile();
    if (fault != nullptr) *fault = reader.fault();
    return rc;
  }

  TempDir dir_;
};

TEST_F(DeltaFileReaderTest, MagicAndEndGiveAnEmptyFile) {
  dir_.WriteFile("basis", "whatever");
  EXPECT_EQ(0, Patch(kMagic + Bytes({0})));
  EXPECT_EQ("", dir_.ReadFile("new"));
  EXPECT_EQ(0, Patch(kMagic + Bytes({0x03}) + "abc" + Bytes({0})));
  EXPECT_EQ("abc", dir_.ReadFile("new"));
}

TEST_F(DeltaFileReaderTest, EveryCommandWidthIsUnderstood) {
  const std::string basis = RandomBytes(1, 70000);
  dir_.WriteFile("basis", basis);
  const std::string lit = RandomBytes(2, 300);
  std::string delta = kMagic;
  delta += Bytes({0x41, 3}) + lit.substr(0, 3);                          // 1-byte length
  delta += Bytes({0x42, 0, 5}) + lit.substr(0, 5);                       // 2-byte length
  delta += Bytes({0x43, 0, 0, 1, 44}) + lit;                             // 4-byte length
  delta += Bytes({0x44, 0, 0, 0, 0, 0, 0, 0, 2}) + lit.substr(0, 2);     // 8-byte length
  delta += Bytes({0x45, 10, 5});                                         // 1/1
  delta += Bytes({0x4A, 0x01, 0x00, 0x01, 0x00});                        // 2/2
  delta += Bytes({0x50, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4});            // 4/8
  delta += Bytes({0x54, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});  // 8/8
  delta += Bytes({0});
  ASSERT_EQ(0, Patch(delta));
  EXPECT_EQ(lit.substr(0, 3) + lit.substr(0, 5) + lit + lit.substr(0, 2) + basis.substr(10, 5) +
                basis.substr(256, 256) + basis.substr(65536, 4) + basis.substr(0, 1),
            dir_.ReadFile("new"));
}

TEST_F(DeltaFileReaderTest, MalformedDeltasFailWithTheirCodes) {
  dir_.WriteFile("basis", RandomBytes(3, 5000));
  // The delta is to blame, unless it copies beyond the basis.
  constexpr DeltaFault kDelta = DeltaFault::kInput, kShort = DeltaFault::kBasisTooShort;
  struct Case {
    std::string delta;
    int code;
    DeltaFault fault;
  } cases[] = {
      {"", -2, kDelta},                                                   // no magic at all
      {Bytes({0x72, 0x73, 0x01, 0x36, 0}), -5, kDelta},                   // a signature's magic
      {kMagic, -2, kDelta},                                               // no end command
      {kMagic + Bytes({0x55}), -5, kDelta},                               // reserved opcode
      {kMagic + Bytes({0xFF}), -5, kDelta},
      {kMagic + Bytes({0x46, 0x00, 0x13}), -2, kDelta},                   // cut in a parameter
      {kMagic + Bytes({0x45, 0x00, 0x10}), -2, kDelta},                   // a copy, then cut
      {kMagic + Bytes({0x4A, 0x20, 0x00, 0x00, 0x01, 0}), -2, kShort},    // copy past 5000
      {kMagic + Bytes({0x4A, 0x13, 0x80, 0x00, 0x10, 0}), -2, kShort},    // reaches past the end
      {kMagic + Bytes({0x54, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0, 0, 0, 0, 0, 0, 0,
                       0x10, 0, 0}),
       -2, kShort},                                                       // offset + length wraps
      {kMagic + Bytes({0x05}) + "ab", -2, kDelta},                        // literal cut short
      {kMagic + Bytes({0x44, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}) + "abc", -2, kDelta},
  };
  for (const Case& c : cases) {
    DeltaFault fault = DeltaFault::kNone;
    EXPECT_EQ(c.code, Patch(c.delta, &fault)) << ::testing::PrintToString(c.delta);
    EXPECT_EQ(c.fault, fault) << ::testing::PrintToString(c.delta);
  }
  DeltaFault fault = DeltaFault::kOutput;
  EXPECT_EQ(0, Patch(kMagic + Bytes({0}), &fault));
  EXPECT_EQ(DeltaFault::kNone, fault);
}

TEST_F(DeltaFileReaderTest, MissingFilesAndArgumentsBlameTheirFile) {
  dir_.WriteFile("basis", "abc");
  dir_.WriteFile("delta", kMagic + Bytes({0}));
  DeltaFileReader no_args;
  EXPECT_EQ(-1, no_args.readFile());
  EXPECT_EQ(DeltaFault::kNone, no_args.fault());
  struct Case {
    const char* basis;
    const char* delta;
    const char* out;
    int code;
    DeltaFault fault;
  } cases[] = {
      {"basis", "missing", "new", -2, DeltaFault::kInput},
      {"missing", "delta", "new", -2, DeltaFault::kBasis},
      {"basis", "delta", "no/dir/new", -3, DeltaFault::kOutput},
  };
  for (const Case& c : cases) {
    DeltaFileReader reader;
    reader.setFile(ustring(dir_.Join(c.delta)), ustring(dir_.Join(c.basis)));
    reader.setNewFile(ustring(dir_.Join(c.out)));
    EXPECT_EQ(c.code, reader.readFile()) << c.basis << " " << c.delta << " " << c.out;
    EXPECT_EQ(c.fault, reader.fault()) << c.basis << " " << c.delta << " " << c.out;
  }

  // The reading side: the input, the signature, the output.
  dir_.WriteFile("input", RandomBytes(7, 5000));
  ASSERT_EQ(0, MakeSignature(dir_, "input", "sig"));
  struct SimpleCase {
    const char* input;
    const char* sig;  // "" makes a signature rather than a delta
    const char* out;
    DeltaFault fault;
  } simple[] = {
      {"missing", "", "out.sig", DeltaFault::kInput},
      {"input", "", "no/dir/out.sig", DeltaFault::kOutput},
      {"input", "input", "out.delta", DeltaFault::kSignature},  // not a signature
      {"input", "missing", "out.delta", DeltaFault::kSignature},
      {"input", "sig", "no/dir/out.delta", DeltaFault::kOutput},
      {"missing", "sig", "out.delta", DeltaFault::kInput},
  };
  for (const SimpleCase& c : simple) {
    SimpleFileReader reader;
    reader.setFile(ustring(dir_.Join(c.input)));
    if (*c.sig == '\0') {
      reader.setSignature(ustring(dir_.Join(c.out)), 2048, 8);
    } else {
      reader.setDelta(ustring(dir_.Join(c.out)), ustring(dir_.Join(c.sig)));
    }
    EXPECT_NE(0, reader.readFile()) << c.input << " " << c.sig << " " << c.out;
    EXPECT_EQ(c.fault, reader.fault()) << c.input << " " << c.sig << " " << c.out;
  }
}

// A full disk under the outputs, as the command-line tool meets it: the run
// fails blaming the output, and the durable replace leaves the old file.
TEST_F(DeltaFileReaderTest, FullDiskBlamesTheOutputAndKeepsTheOldFile) {
  // One copy of the whole 3 MiB basis: written in several pieces.
  dir_.WriteFile("basis", RandomBytes(8, 3 << 20));
  dir_.WriteFile("delta", kMagic + Bytes({0x4F, 0, 0, 0, 0, 0, 0x30, 0, 0}) + Bytes({0}));
  dir_.WriteFile("new", "old file");
  for (int skip : {0, 2}) {  // the first write, or a later one
    SCOPED_TRACE("writes before the fault: " + std::to_string(skip));
    ScopedFault full(FaultPoint::kWrite, ENOSPC, 1, skip);
    DeltaFileReader patch;
    patch.setFile(ustring(dir_.Join("delta")), ustring(dir_.Join("basis")));
    ustring digest;
    patch.setHashString(&digest);  // so the copy goes through the writes
    int rc = 0;
    const int replaced = DurableReplaceByPath(ustring(dir_.Join("new")), [&](const ustring& temp) {
      patch.setNewFile(temp);
      rc = patch.readFile();
      return rc == 0 ? 0 : -1;
    });
    EXPECT_EQ(-1, replaced);
    EXPECT_EQ(-3, rc);
    EXPECT_EQ(DeltaFault::kOutput, patch.fault());
    EXPECT_TRUE(dir_.ReadFile("new") == "old file");
  }
  {
    ScopedFault full(FaultPoint::kWrite, ENOSPC);
    SimpleFileReader sign;
    sign.setFile(ustring(dir_.Join("basis")));
    sign.setSignature(ustring(dir_.Join("basis.sig")), 2048, 8);
    EXPECT_EQ(-3, sign.readFile());
    EXPECT_EQ(DeltaFault::kOutput, sign.fault());
  }
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    EXPECT_EQ(std::string::npos, entry.path().string().find("tw-tmp")) << entry.path();
  }
}

// The flag is raised while the reader waits for the delta's bytes (the delta
// is a pipe the test feeds), and the run stops at its next look at the flag.
TEST_F(DeltaFileReaderTest, AbortRaisedDuringABlockedReadStopsTheRun) {
  dir_.WriteFile("basis", "unused");
  ASSERT_EQ(0, mkfifo(dir_.Join("delta").c_str(), 0600));
  std::atomic<int> flag{0};
  std::promise<pid_t> started;
  auto run = std::async(std::launch::async, [&] {
    started.set_value(testing::CurrentThreadId());
    DeltaFileReader reader;
    reader.setFile(ustring(dir_.Join("delta")), ustring(dir_.Join("basis")));
    reader.setNewFile(ustring(dir_.Join("new")));
    reader.setAbortFlag(&flag);
    return reader.readFile();
  });
  const pid_t reader_thread = started.get_future().get();
  const int pipe = open(dir_.Join("delta").c_str(), O_WRONLY | O_CLOEXEC);  // waits for the reader
  EXPECT_GE(pipe, 0);
  // A 2 MiB literal, of which the first 1000 bytes come at once (one atomic
  // pipe write): the reader takes them and sleeps waiting for the rest.
  const std::string head = kMagic + Bytes({0x43, 0x00, 0x20, 0x00, 0x00}) + RandomBytes(9, 1000);
  EXPECT_EQ(kWriteOk, WriteAll(pipe, head.data(), head.size()));
  EXPECT_TRUE(testing::AwaitAsleep(reader_thread));
  flag = 1;
  // The rest of the reader's first 1 MiB piece, then the end of the stream.
  const std::string rest = RandomBytes(10, (1 << 20) - 1000);
  EXPECT_EQ(kWriteOk, WriteAll(pipe, rest.data(), rest.size()));
  close(pipe);
  EXPECT_EQ(-4, run.get());
  EXPECT_LE(dir_.ReadFile("new").size(), size_t{1} << 20);
}

TEST_F(DeltaFileReaderTest, RebuiltFileIsDigestedAndSignedInTheSamePass) {
  const std::string basis = RandomBytes(5, 10000), next = basis.substr(3000) + "tail";
  dir_.WriteFile("basis", basis);
  dir_.WriteFile("next", next);
  ASSERT_EQ(0, MakeSignature(dir_, "basis", "sig"));
  ASSERT_EQ(0, MakeDelta(dir_, "sig", "next", "delta"));
  ustring hash;
  DeltaFileReader reader;
  reader.setFile(ustring(dir_.Join("delta")), ustring(dir_.Join("basis")));
  reader.setNewFile(ustring(dir_.Join("new")));
  reader.setHashString(&hash);
  reader.setSignature(ustring(dir_.Join("new.sig")), 0, 0);
  ASSERT_EQ(0, reader.readFile());
  EXPECT_EQ(next, dir_.ReadFile("new"));
  ustring direct_hash;
  SimpleFileReader direct;
  direct.setFile(ustring(dir_.Join("next")));
  direct.setHashString(&direct_hash);
  direct.setSignature(ustring(dir_.Join("next.sig")), 0, 0);
  ASSERT_EQ(0, direct.readFile());
  EXPECT_EQ(32u, hash.length());
  EXPECT_EQ(std::string(direct_hash.c_str_utf8()), std::string(hash.c_str_utf8()));
  EXPECT_EQ(dir_.ReadFile("next.sig"), dir_.ReadFile("new.sig"));
}

TEST_F(DeltaFileReaderTest, ReverseDeltaRestoresTheBasis) {
  const uint64_t seed = testing::TestSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
  for (int round = 0; round < 6; ++round) {
    const std::string basis = RandomBytes(rng(), 20000 + rng() % 50000);
    // Pieces of the basis in shuffled order, repeated and mixed with new
    // bytes, so that copies overlap in the basis.
    std::string next;
    for (int i = 0; i < 12; ++i) {
      const size_t at = rng() % basis.size();
      next += basis.substr(at, rng() % 9000);
      if (rng() % 3 == 0) next += RandomBytes(rng(), rng() % 500);
    }
    dir_.WriteFile("basis", basis);
    dir_.WriteFile("next", next);
    ASSERT_EQ(0, MakeSignature(dir_, "basis", "sig", 512));
    ASSERT_EQ(0, MakeDelta(dir_, "sig", "next", "delta"));
    ASSERT_EQ(0, ApplyDelta(dir_, "basis", "delta", "new", "reverse"));
    ASSERT_EQ(next, dir_.ReadFile("new"));
    ASSERT_EQ(0, ApplyDelta(dir_, "new", "reverse", "back"));
    ASSERT_EQ(basis, dir_.ReadFile("back")) << "round " << round;
  }
}

TEST_F(DeltaFileReaderTest, DiagnosticsGoToTheInstalledSink) {
  static std::string seen;
  seen.clear();
  SetDeltaDiagnosticSink([](const char* message) { seen += std::string(message) + "\n"; });
  dir_.WriteFile("basis", "abc");
  EXPECT_EQ(-5, Patch(Bytes({1, 2, 3, 4, 0})));
  SetDeltaDiagnosticSink(nullptr);
  EXPECT_NE(std::string::npos, seen.find("invalid patch file (1020304)")) << seen;
}

}  // namespace
}  // namespace tidewell
