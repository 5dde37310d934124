#include "delta/buffer.h"

#include <gtest/gtest.h>

#include "delta_test_util.h"

namespace tidewell {
namespace {

using testing::RandomBytes;
using testing::TempDir;

TEST(BufferTest, ResizeOnlyWhenEmpty) {
  buffer_t b;
  EXPECT_EQ(8192u, b.capacity);
  EXPECT_EQ(0, buffer_resize(&b, 100000));
  EXPECT_EQ(100000u, b.capacity);
  b.size = 1;
  EXPECT_EQ(-1, buffer_resize(&b, 200000));
}

// Reads and writes of every size around the buffer's capacity must keep the
// bytes in order, whether they go through the buffer or around it.
TEST(BufferTest, BufferedWriteAndReadKeepTheBytes) {
  TempDir dir;
  const std::string data = RandomBytes(1, 50000);
  const size_t sizes[] = {1, 15, 16, 17, 3, 100, 31, 32, 33, 7};
  {
    fd_t fd;
    ASSERT_EQ(0, fd_open_write(ustring(dir.Join("out")), &fd));
    fd_bio_t bio;
    ASSERT_EQ(0, fd_bio_load(&bio, &fd, 32));
    size_t at = 0;
    for (int i = 0; at < data.size(); ++i) {
      const size_t n = std::min(sizes[i % 10], data.size() - at);
      ASSERT_EQ(0, fd_bio_write(&bio, data.data() + at, n));
      at += n;
    }
    ASSERT_EQ(0, fd_bio_flush(&bio));
    fd_bio_unload(&bio);
  }
  ASSERT_EQ(data, dir.ReadFile("out"));

  fd_t fd;
  ASSERT_EQ(0, fd_open_read(ustring(dir.Join("out")), &fd));
  fd_bio_t bio;
  ASSERT_EQ(0, fd_bio_load(&bio, &fd, 32));
  std::string back;
  for (int i = 0; back.size() < data.size(); ++i) {
    const size_t n = std::min(sizes[(i + 3) % 10], data.size() - back.size());
    std::string piece(n, '\0');
    ASSERT_EQ(0, fd_bio_read(&bio, piece.data(), n));
    back += piece;
  }
  EXPECT_EQ(data, back);
  char extra;
  EXPECT_EQ(-1, fd_bio_read(&bio, &extra, 1));
}

TEST(XioTest, OneAppendInFlightAtATime) {
  TempDir dir;
  fd_t fd;
  ASSERT_EQ(0, fd_open_write(ustring(dir.Join("out")), &fd));
  const std::string big = RandomBytes(2, 3 * fd_aio_t::kBackgroundMin);
  fd_aio_t aio;
  ASSERT_EQ(0, fd_aio_write(&aio, &fd, big.data(), big.size()));
  EXPECT_EQ(-1, fd_aio_write(&aio, &fd, "x", 1));
  EXPECT_EQ(static_cast<int64_t>(big.size()), fd_aio_wait(&aio));
  EXPECT_EQ(0, fd_aio_wait(&aio));
  ASSERT_EQ(0, fd_aio_write(&aio, &fd, "tail", 4));
  EXPECT_EQ(4, fd_aio_wait(&aio));
  uint64_t size = 0;
  ASSERT_EQ(0, fd_stat(&fd, &size));
  EXPECT_EQ(big.size() + 4, size);
  EXPECT_EQ(big + "tail", dir.ReadFile("out"));
}

TEST(XioTest, FailuresReturnMinusOne) {
  TempDir dir;
  fd_t fd;
  EXPECT_EQ(-1, fd_open_read(ustring(dir.Join("missing")), &fd));
  EXPECT_FALSE(fd_is_open(&fd));
  EXPECT_EQ(-1, fd_open_write(ustring(dir.Join("no/dir/file")), &fd));
  fd_aio_t aio;
  EXPECT_EQ(-1, fd_aio_write(&aio, &fd, "x", 1));
  dir.WriteFile("ro", "abc");
  ASSERT_EQ(0, fd_open_read(ustring(dir.Join("ro")), &fd));
  EXPECT_EQ(-1, fd_write(&fd, "x", 1));  // opened for reading only
  char buf[8];
  EXPECT_EQ(3, fd_pread(&fd, buf, sizeof buf, 0));
  EXPECT_EQ(0, fd_pread(&fd, buf, sizeof buf, 1000));
}

}  // namespace
}  // namespace tidewell
