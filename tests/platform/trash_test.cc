#include "platform/trash.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "common/temp_dir.h"
#include "fs_test_util.h"
#include "platform/file_remove.h"
#include "private_mount.h"

namespace tidewell {
namespace {

using ::tidewell::testing::Exists;
using ::tidewell::testing::ImmutableGuard;
using ::tidewell::testing::ModeOf;
using ::tidewell::testing::PrivateTmpfs;
using ::tidewell::testing::TempDir;

// Sets an environment variable for the scope of a test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old, had_ = true;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
    tzset();
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
    tzset();
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = opendir(dir.c_str());
  while (struct dirent* e = d ? readdir(d) : nullptr) {
    std::string n = e->d_name;
    if (n != "." && n != "..") out.push_back(n);
  }
  if (d) closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

std::string ReadWhole(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return "<missing>";
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

std::string RealPath(const std::string& path) {
  char* r = realpath(path.c_str(), nullptr);
  std::string out = r ? r : "";
  free(r);
  return out;
}

// Checks a record's layout and that its date lies in [before, after].
void ExpectRecord(const std::string& record, const std::string& path, time_t before, time_t after) {
  std::string head = "[Trash Info]\nPath=" + path + "\nDeletionDate=";
  ASSERT_EQ(head, record.substr(0, head.size())) << record;
  std::string date = record.substr(head.size());
  ASSERT_EQ(20u, date.size()) << date;  // YYYY-MM-DDThh:mm:ss and "\n"
  EXPECT_EQ('\n', date.back());
  struct tm tm = {};
  ASSERT_NE(nullptr, strptime(date.c_str(), "%Y-%m-%dT%H:%M:%S", &tm)) << date;
  tm.tm_isdst = -1;
  time_t when = mktime(&tm);
  EXPECT_GE(when, before - 1);
  EXPECT_LE(when, after + 1);
}

class TrashTest : public ::testing::Test {
 protected:
  TrashTest() : xdg_("XDG_DATA_HOME", dir_.Join("xdg/data").c_str()) {}
  std::string HomeTrash() const { return dir_.Join("xdg/data/Trash"); }
  TempDir dir_;
  ScopedEnv xdg_;
};

TEST(TrashRecordTest, PathIsPercentEncodedAndDateIsLocal) {
  ScopedEnv tz("TZ", "UTC");
  EXPECT_EQ(
      "[Trash Info]\nPath=/home/u/a%20b%25c/%C3%BC_x-y~z.txt\nDeletionDate=2001-09-09T01:46:40\n",
      TrashInfoRecord("/home/u/a b%c/\xC3\xBC_x-y~z.txt", 1000000000));
  EXPECT_EQ("[Trash Info]\nPath=rel/a%0Ab\nDeletionDate=1970-01-01T00:00:00\n",
            TrashInfoRecord("rel/a\nb", 0));
}

TEST_F(TrashTest, FileGoesToTheHomeTrashWithItsRecord) {
  dir_.WriteFile("docs/a report.txt", "content");
  time_t before = time(nullptr);
  ASSERT_EQ(0, FSRemove(dir_.Join("docs/a report.txt").c_str(), true));
  time_t after = time(nullptr);
  EXPECT_FALSE(Exists(dir_.Join("docs/a report.txt")));
  EXPECT_EQ("content", ReadWhole(HomeTrash() + "/files/a report.txt"));
  ExpectRecord(ReadWhole(HomeTrash() + "/info/a report.txt.trashinfo"),
               RealPath(dir_.Join("docs")) + "/a%20report.txt", before, after);
  // Missing folders were created private to the user.
  EXPECT_EQ(0700u, ModeOf(HomeTrash()) & 0777);
  EXPECT_EQ(0700u, ModeOf(HomeTrash() + "/files") & 0777);
  EXPECT_EQ(0700u, ModeOf(HomeTrash() + "/info") & 0777);
}

TEST_F(TrashTest, SameNameTwiceGetsAUniqueName) {
  dir_.WriteFile("a/x", "first");
  dir_.WriteFile("b/x", "second");
  ASSERT_EQ(0, FSRemove(dir_.Join("a/x").c_str(), true));
  ASSERT_EQ(0, FSRemove(dir_.Join("b/x").c_str(), true));
  EXPECT_EQ((std::vector<std::string>{"x", "x.2"}), Names(HomeTrash() + "/files"));
  EXPECT_EQ((std::vector<std::string>{"x.2.trashinfo", "x.trashinfo"}),
            Names(HomeTrash() + "/info"));
  EXPECT_EQ("second", ReadWhole(HomeTrash() + "/files/x.2"));
  ExpectRecord(ReadWhole(HomeTrash() + "/info/x.2.trashinfo"), RealPath(dir_.Join("b")) + "/x",
               time(nullptr) - 60, time(nullptr));
}

TEST_F(TrashTest, AnOrphanInFilesIsNotOverwritten) {
  dir_.WriteFile("xdg/data/Trash/files/x", "orphan");
  ASSERT_EQ(0, mkdir(HomeTrash().c_str(), 0700) == 0 || errno == EEXIST ? 0 : -1);
  dir_.WriteFile("x", "new");
  ASSERT_EQ(0, FSRemove(dir_.Join("x").c_str(), true));
  EXPECT_EQ("orphan", ReadWhole(HomeTrash() + "/files/x"));
  EXPECT_EQ("new", ReadWhole(HomeTrash() + "/files/x.2"));
  EXPECT_EQ(std::vector<std::string>{"x.2.trashinfo"}, Names(HomeTrash() + "/info"));
}

TEST_F(TrashTest, DirectoriesAndLinksMoveWhole) {
  dir_.WriteFile("outside/keep", "k");
  dir_.WriteFile("tree/sub/f", "f");
  ASSERT_EQ(0, symlink(dir_.Join("outside").c_str(), dir_.Join("tree/link").c_str()));
  ASSERT_EQ(0, symlink(dir_.Join("outside").c_str(), dir_.Join("toplink").c_str()));
  ASSERT_EQ(0, FSRemove(dir_.Join("tree").c_str(), true));
  ASSERT_EQ(0, FSRemove(dir_.Join("toplink").c_str(), true));
  EXPECT_EQ("f", ReadWhole(HomeTrash() + "/files/tree/sub/f"));
  EXPECT_TRUE(S_ISLNK(ModeOf(HomeTrash() + "/files/tree/link")));
  EXPECT_TRUE(S_ISLNK(ModeOf(HomeTrash() + "/files/toplink")));
  EXPECT_EQ("k", dir_.ReadFile("outside/keep"));
}

TEST_F(TrashTest, LongNamesAreShortenedOnACharacterBoundary) {
  std::string name;
  for (int i = 0; i < 125; ++i) name += "\xC3\xA9";  // 250 bytes of "é"
  dir_.WriteFile(name, "long");
  ASSERT_EQ(0, FSRemove(dir_.Join(name).c_str(), true));
  std::vector<std::string> infos = Names(HomeTrash() + "/info");
  ASSERT_EQ(1u, infos.size());
  EXPECT_LE(infos[0].size(), 255u);
  std::string stem = infos[0].substr(0, infos[0].size() - strlen(".trashinfo"));
  EXPECT_EQ(0u, stem.size() % 2) << "a character was cut in half";
  EXPECT_EQ(0, name.compare(0, stem.size(), stem));
  EXPECT_EQ("long", ReadWhole(HomeTrash() + "/files/" + stem));
  ExpectRecord(
      ReadWhole(HomeTrash() + "/info/" + infos[0]),
      RealPath(dir_.path()) + "/" +
          [&] {
            std::string enc;
            for (int i = 0; i < 125; ++i) enc += "%C3%A9";
            return enc;
          }(),
      time(nullptr) - 60, time(nullptr));
}

TEST_F(TrashTest, HomeTrashFollowsTheBaseDirectoryRules) {
  EXPECT_EQ(dir_.Join("xdg/data/Trash"), HomeTrashDir());
  ScopedEnv relative("XDG_DATA_HOME", "relative/data");  // ignored: not absolute
  ScopedEnv home("HOME", dir_.Join("home").c_str());
  EXPECT_EQ(dir_.Join("home/.local/share/Trash"), HomeTrashDir());
}

TEST_F(TrashTest, OtherMountsUseTheirTopDirectoryTrash) {
  ASSERT_EQ(0, mkdir(dir_.Join("mnt").c_str(), 0755));
  PrivateTmpfs vol(dir_.Join("mnt"), 1 << 20);
  if (!vol.ok()) GTEST_SKIP() << "cannot mount a private tmpfs here";
  std::string uid = std::to_string(geteuid());
  ASSERT_EQ(0, mkdir((vol.path() + "/photos").c_str(), 0755));
  dir_.WriteFile("outside", "");  // keeps the home trash's folder apart
  {
    FILE* f = fopen((vol.path() + "/photos/p 1.jpg").c_str(), "w");
    ASSERT_NE(nullptr, f);
    fputs("jpeg", f);
    fclose(f);
  }
  time_t before = time(nullptr);
  ASSERT_EQ(0, FSRemove((vol.path() + "/photos/p 1.jpg").c_str(), true));
  std::string trash = vol.path() + "/.Trash-" + uid;
  EXPECT_EQ("jpeg", ReadWhole(trash + "/files/p 1.jpg"));
  ExpectRecord(ReadWhole(trash + "/info/p 1.jpg.trashinfo"), "photos/p%201.jpg", before,
               time(nullptr));
  EXPECT_FALSE(Exists(HomeTrash()));

  // A shared .Trash with the sticky bit is preferred; one without is not.
  ASSERT_EQ(0, mkdir((vol.path() + "/.Trash").c_str(), 0777));
  ASSERT_EQ(0, chmod((vol.path() + "/.Trash").c_str(), 0777));
  {
    FILE* f = fopen((vol.path() + "/a").c_str(), "w");
    ASSERT_NE(nullptr, f);
    fclose(f);
  }
  ASSERT_EQ(0, FSRemove((vol.path() + "/a").c_str(), true));
  EXPECT_TRUE(Exists(trash + "/files/a"));
  ASSERT_EQ(0, chmod((vol.path() + "/.Trash").c_str(), 01777));
  {
    FILE* f = fopen((vol.path() + "/b").c_str(), "w");
    ASSERT_NE(nullptr, f);
    fclose(f);
  }
  ASSERT_EQ(0, FSRemove((vol.path() + "/b").c_str(), true));
  EXPECT_TRUE(Exists(vol.path() + "/.Trash/" + uid + "/files/b"));
  EXPECT_TRUE(Exists(vol.path() + "/.Trash/" + uid + "/info/b.trashinfo"));
}

TEST_F(TrashTest, WithoutAUsableTrashTheItemIsDeletedForGood) {
  ASSERT_EQ(0, mkdir(dir_.Join("mnt").c_str(), 0755));
  PrivateTmpfs vol(dir_.Join("mnt"), 1 << 20);
  if (!vol.ok()) GTEST_SKIP() << "cannot mount a private tmpfs here";
  // A file where the trash folder would go makes the volume's trash unusable.
  std::string blocker = vol.path() + "/.Trash-" + std::to_string(geteuid());
  std::string item = vol.path() + "/item";
  for (const std::string& p : {blocker, item}) {
    FILE* f = fopen(p.c_str(), "w");
    ASSERT_NE(nullptr, f);
    fclose(f);
  }
  EXPECT_EQ(kTrashUnavailable, MoveToTrash(item.c_str()));
  EXPECT_TRUE(Exists(item));
  ASSERT_EQ(0, FSRemove(item.c_str(), true));
  EXPECT_FALSE(Exists(item));
  EXPECT_TRUE(Exists(blocker));
}

TEST_F(TrashTest, ARefusedMoveIsAnErrorAndLeavesNoRecord) {
  dir_.WriteFile("locked/item", "stays");
  ImmutableGuard guard(dir_.Join("locked"));
  if (!guard.ok()) GTEST_SKIP() << "cannot make a folder immutable here";
  EXPECT_EQ(-3, FSRemove(dir_.Join("locked/item").c_str(), true));
  EXPECT_EQ("stays", dir_.ReadFile("locked/item"));
  EXPECT_TRUE(Names(HomeTrash() + "/info").empty());
}

TEST_F(TrashTest, MissingOrMisspelledPathsAreLeftAlone) {
  EXPECT_EQ(0, FSRemove(dir_.Join("absent").c_str(), true));
  dir_.WriteFile("name", "x");
  EXPECT_EQ(0, FSRemove(dir_.Join("NAME").c_str(), true));
  EXPECT_EQ("x", dir_.ReadFile("name"));
  EXPECT_EQ(-1, FSRemove("", true));
  EXPECT_EQ(-1, MoveToTrash(dir_.Join("absent").c_str()));
  EXPECT_EQ(-1, MoveToTrash("/"));
}

}  // namespace
}  // namespace tidewell
