#include "net/stream_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "common/temp_dir.h"

namespace tidewell {
namespace {

class StreamFileTest : public ::testing::Test {
 protected:
  ustring Path(const std::string& name) { return ustring(dir_.Join(name)); }
  tidewell::testing::TempDir dir_;
};

TEST_F(StreamFileTest, ModeLetterDecides) {
  EXPECT_EQ(nullptr, xfopen(Path("missing"), "rb")) << "read needs an existing file";

  dir_.WriteFile("f", "old content");
  FilePtr w(xfopen(Path("f"), "wb"));
  ASSERT_NE(nullptr, w);
  std::fputs("new", w.get());
  w.reset();
  EXPECT_EQ("new", dir_.ReadFile("f")) << "write truncates";

  FilePtr a(xfopen(Path("f"), "ab"));
  ASSERT_NE(nullptr, a);
  std::fputs("+more", a.get());
  a.reset();
  EXPECT_EQ("new+more", dir_.ReadFile("f")) << "append keeps and extends";
  FilePtr created(xfopen(Path("g"), "a"));
  EXPECT_NE(nullptr, created) << "append creates";

  FilePtr rw(xfopen(Path("f"), "x"));
  ASSERT_NE(nullptr, rw);
  std::fputs("rw", rw.get());
  std::rewind(rw.get());
  char buf[8] = {};
  EXPECT_EQ(2u, std::fread(buf, 1, sizeof buf, rw.get())) << "other letters read and write a truncated file";
  rw.reset();
  EXPECT_EQ("rw", dir_.ReadFile("f"));

  FilePtr r(xfopen(Path("f"), "rb"));
  ASSERT_NE(nullptr, r);
  EXPECT_EQ(EOF, std::fputc('z', r.get())) << "read mode cannot write";
}

TEST_F(StreamFileTest, DescriptorsAreCloseOnExec) {
  dir_.WriteFile("f", "x");
  for (const char* mode : {"rb", "wb", "ab", "w+b"}) {
    FilePtr f(xfopen(Path("f"), mode));
    ASSERT_NE(nullptr, f) << mode;
    EXPECT_TRUE(fcntl(fileno(f.get()), F_GETFD) & FD_CLOEXEC) << mode;
  }
  ustring fresh;
  FilePtr f(CreateFreshFile(ustring(dir_.path()), fresh));
  ASSERT_NE(nullptr, f);
  EXPECT_TRUE(fcntl(fileno(f.get()), F_GETFD) & FD_CLOEXEC);
}

TEST_F(StreamFileTest, FreshFilesNeverReuseANameAndStartEmpty) {
  std::set<std::string> names;
  for (int i = 0; i < 50; ++i) {
    ustring path;
    FilePtr f(CreateFreshFile(ustring(dir_.path()), path));
    ASSERT_NE(nullptr, f);
    EXPECT_TRUE(names.insert(std::string(path.utf8_view())).second);
  }
  ustring path;
  EXPECT_EQ(nullptr, CreateFreshFile(Path("no-such-folder"), path));
  EXPECT_TRUE(path.empty());
}

}  // namespace
}  // namespace tidewell
