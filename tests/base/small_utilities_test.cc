// CriticalSection, ParseUsrName and GetSysHostName.

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "base/critical_section.h"
#include "base/host_name.h"
#include "base/user_name.h"

namespace tidewell {
namespace {

bool LockedElsewhere(std::mutex& m) {
  return std::async(std::launch::async,
                    [&m] {
                      if (!m.try_lock()) return true;
                      m.unlock();
                      return false;
                    })
      .get();
}

TEST(CriticalSectionTest, HoldsTheMutexBetweenStartAndEnd) {
  std::mutex m;
  CriticalSection cs(&m);
  EXPECT_FALSE(LockedElsewhere(m));
  cs.start();
  cs.start();  // already inside: no second lock, no deadlock
  EXPECT_TRUE(cs.inside());
  EXPECT_TRUE(LockedElsewhere(m));
  cs.end();
  cs.end();
  EXPECT_FALSE(cs.inside());
  EXPECT_FALSE(LockedElsewhere(m));
}

int EarlyReturn(std::mutex& m) {
  CriticalSection cs(&m);
  cs.start();
  return 1;  // the destructor must leave the section
}

TEST(CriticalSectionTest, LeavingTheScopeReleases) {
  std::mutex m;
  EXPECT_EQ(1, EarlyReturn(m));
  EXPECT_FALSE(LockedElsewhere(m));
}

TEST(CriticalSectionTest, HelpersAndDescriptorForms) {
  std::mutex m;
  EXPECT_EQ(0, CriticalSection::lock(&m));
  EXPECT_TRUE(LockedElsewhere(m));
  EXPECT_EQ(0, CriticalSection::unlock(&m));
  EXPECT_EQ(-1, CriticalSection::lock(nullptr));
  EXPECT_EQ(-1, CriticalSection::lock(3));
  EXPECT_EQ(-1, CriticalSection::unlock(3));
  CriticalSection by_fd(3);
  EXPECT_EQ(3, by_fd.descriptor());
  by_fd.start();
  EXPECT_TRUE(by_fd.inside());
  CriticalSection no_mutex(static_cast<std::mutex*>(nullptr));
  no_mutex.start();
  no_mutex.end();
}

struct NameCase {
  const char* input;
  const char* domain;
  const char* user;
};

TEST(UserNameTest, SplitsAtTheLastSeparator) {
  const NameCase cases[] = {
      {"CORP\\alice", "CORP", "alice"}, {"a/b/c", "a/b", "c"},   {"bob", "", "bob"},
      {"CORP\\", "CORP", ""},           {"x/y\\z", "x", "y\\z"}, {"\\lead", "", "lead"},
  };
  for (const NameCase& c : cases) {
    ustring user(c.input), domain("stale");
    ParseUsrName(user, domain);
    EXPECT_EQ(ustring(c.domain), domain) << c.input;
    EXPECT_EQ(ustring(c.user), user) << c.input;
  }
  ustring first("f"), second("s");
  EXPECT_FALSE(ParsingByDelimiter("none", first, second, '@'));
  EXPECT_EQ(ustring("f"), first);
  EXPECT_TRUE(ParsingByDelimiter("a@b@c", first, second, '@'));
  EXPECT_EQ(ustring("a@b"), first);
  EXPECT_EQ(ustring("c"), second);
}

TEST(HostNameTest, MatchesTheKernelsNodeName) {
  struct utsname uts;
  ASSERT_EQ(0, uname(&uts));
  ustring host("unchanged");
  ASSERT_EQ(0, GetSysHostName(host));
  EXPECT_EQ(ustring(uts.nodename), host);
}

}  // namespace
}  // namespace tidewell
