#include "base/tmp_name_gen.h"

#define OPENSSL_SUPPRESS_DEPRECATED
#include <gtest/gtest.h>
#include <openssl/rc4.h>

#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace tidewell {
namespace {

constexpr char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";

bool HasNameForm(const std::string& path, const std::string& dir) {
  return path.size() == dir.size() + 9 && path.compare(0, dir.size() + 1, dir + "/") == 0 &&
         path.find_first_not_of(kAlphabet, dir.size() + 1) == std::string::npos;
}

TEST(TmpNameGenTest, NamesAreDirectorySlashAndEightCharacters) {
  TmpNameGen& gen = TmpNameGen::getInstance();
  EXPECT_EQ(&gen, &TmpNameGen::getInstance());
  std::string a = gen.getTmpName("/some/dir").c_str_utf8();
  std::string b = gen.getTmpName("/some/dir").c_str_utf8();
  EXPECT_TRUE(HasNameForm(a, "/some/dir")) << a;
  EXPECT_TRUE(HasNameForm(b, "/some/dir")) << b;
  EXPECT_NE(a, b);
}

TEST(TmpNameGenTest, FirstNameIsTheStartOfTheKeyStream) {
  // Each draw restarts the stream counters, so only the first draw equals
  // plain RC4 output; it is checked against OpenSSL's RC4 with the same
  // 256-byte key.
  const std::string key = "1234567890123";
  unsigned char full_key[256] = {};
  memcpy(full_key, key.data(), key.size());
  RC4_KEY rc4;
  RC4_set_key(&rc4, sizeof full_key, full_key);
  unsigned char zeros[6] = {}, stream[6];
  RC4(&rc4, sizeof stream, zeros, stream);
  uint64_t bits = 0;
  for (unsigned char b : stream) bits = (bits << 8) | b;
  std::string expected = "/t/";
  for (int g = 0; g < 8; ++g) expected += kAlphabet[(bits >> (42 - 6 * g)) & 0x3F];

  TmpNameGen gen(key);
  std::string first = gen.getTmpName("/t").c_str_utf8();
  EXPECT_EQ(expected, first);
  EXPECT_EQ("/t/SS-TQezX", first);  // pinned, so a change of the mapping shows
  // The same key gives the same sequence.
  TmpNameGen again(key);
  EXPECT_EQ(first, again.getTmpName("/t").c_str_utf8());
  EXPECT_EQ(gen.getTmpName("/t"), again.getTmpName("/t"));
}

TEST(TmpNameGenTest, ConcurrentCallersNeverShareAName) {
  TmpNameGen gen("concurrency");
  std::mutex mutex;
  std::set<std::string> names;
  std::vector<std::thread> threads;
  constexpr int kThreads = 4, kEach = 2000;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      std::vector<std::string> mine;
      for (int i = 0; i < kEach; ++i) mine.push_back(gen.getTmpName("d").c_str_utf8());
      std::lock_guard<std::mutex> lock(mutex);
      names.insert(mine.begin(), mine.end());
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(static_cast<size_t>(kThreads * kEach), names.size());
}

}  // namespace
}  // namespace tidewell
