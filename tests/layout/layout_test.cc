// Keeps the layers of src/ honest: a folder includes only itself and the
// folders before it, and a program folder never includes another program's.
// Every `#include "folder/..."` under src/ is read; a failure names the file
// and line of each offending include.
//
// The order below is the one place it is written down; README.md describes
// it in words.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/temp_dir.h"

namespace tidewell {
namespace {

// The layers, lowest first.
const std::vector<std::string> kLayers = {
    "base", "platform", "delta", "filter", "db", "net", "session", "events", "sync", "daemon",
};
// Programs sit on top of every layer and never include each other.
const std::vector<std::string> kPrograms = {"relay", "server", "cli"};

// Rank of a folder: its place among the layers, or one rank above all of them
// for a program; -1 for a folder that is in neither list.
int Rank(const std::string& folder) {
  auto layer = std::find(kLayers.begin(), kLayers.end(), folder);
  if (layer != kLayers.end()) return static_cast<int>(layer - kLayers.begin());
  if (std::find(kPrograms.begin(), kPrograms.end(), folder) != kPrograms.end()) {
    return static_cast<int>(kLayers.size());
  }
  return -1;
}

// The folder of a `#include "folder/..."` line, or "" for any other line.
std::string IncludedFolder(const std::string& line) {
  size_t at = line.find_first_not_of(" \t");
  if (at == std::string::npos || line[at] != '#') return "";
  at = line.find_first_not_of(" \t", at + 1);
  if (at == std::string::npos || line.compare(at, 7, "include") != 0) return "";
  at = line.find_first_not_of(" \t", at + 7);
  if (at == std::string::npos || line[at] != '"') return "";
  const size_t end = line.find('"', at + 1);
  const size_t slash = line.find('/', at + 1);
  if (end == std::string::npos || slash == std::string::npos || slash > end) return "";
  return line.substr(at + 1, slash - at - 1);
}

// One line per include that breaks the order, as "file:line: reason"
// with the file relative to `src`.
std::vector<std::string> FindViolations(const std::filesystem::path& src) {
  namespace fs = std::filesystem;
  std::vector<std::string> found;
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(src)) {
    const std::string ext = entry.path().extension().string();
    if (entry.is_regular_file() && (ext == ".cc" || ext == ".h")) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    const fs::path rel = fs::relative(file, src);
    const std::string from = rel.begin()->string();
    const int from_rank = Rank(from);
    if (from_rank < 0) {
      found.push_back(rel.string() + ": folder '" + from + "' is not in the layer order");
      continue;
    }
    std::ifstream in(file);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
      const std::string to = IncludedFolder(line);
      if (to.empty()) continue;
      const std::string where = rel.string() + ":" + std::to_string(number) + ": ";
      const int to_rank = Rank(to);
      if (to == from) continue;
      if (to_rank < 0) {
        found.push_back(where + "includes folder '" + to + "', which is not in the layer order");
      } else if (to_rank > from_rank) {
        found.push_back(where + "'" + from + "' includes the later folder '" + to + "'");
      } else if (to_rank == from_rank && from_rank == static_cast<int>(kLayers.size())) {
        found.push_back(where + "program '" + from + "' includes program '" + to + "'");
      }
    }
  }
  return found;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  return all;
}

TEST(LayoutTest, SourceFoldersIncludeOnlyEarlierFolders) {
  const std::filesystem::path src = std::filesystem::path(TIDEWELL_SOURCE_DIR) / "src";
  ASSERT_TRUE(std::filesystem::is_directory(src)) << src;
  const std::vector<std::string> violations = FindViolations(src);
  EXPECT_TRUE(violations.empty()) << Joined(violations);
}

// The checker itself, on a small tree with one case per rule.
TEST(LayoutTest, EachKindOfBadIncludeIsNamedWithFileAndLine) {
  testing::TempDir dir;
  dir.WriteFile("src/base/ok.h", "#include \"base/other.h\"\n#include <vector>\n");
  dir.WriteFile("src/sync/ok.cc",
                "#include \"sync/ok.h\"\n#include \"events/event.h\"\n#include \"base/log.h\"\n");
  dir.WriteFile("src/server/ok.cc", "#include \"daemon/x.h\"\n#include \"net/y.h\"\n");
  // An upward include on line 3, behind a harmless one and a system header.
  dir.WriteFile("src/platform/up.cc",
                "#include \"base/log.h\"\n#include <string>\n#include \"sync/task.h\"\n");
  // A layer reaching into a program.
  dir.WriteFile("src/net/prog.h", "\n  #  include \"relay/relay_server.h\"\n");
  // One program including another.
  dir.WriteFile("src/cli/cross.cc", "#include \"server/s.h\"\n");
  // A folder nobody placed in the order, and an include of one.
  dir.WriteFile("src/extra/x.cc", "#include \"base/log.h\"\n");
  dir.WriteFile("src/db/odd.cc", "#include \"nowhere/n.h\"\n");

  const std::vector<std::string> expected = {
      "cli/cross.cc:1: program 'cli' includes program 'server'",
      "db/odd.cc:1: includes folder 'nowhere', which is not in the layer order",
      "extra/x.cc: folder 'extra' is not in the layer order",
      "net/prog.h:2: 'net' includes the later folder 'relay'",
      "platform/up.cc:3: 'platform' includes the later folder 'sync'",
  };
  EXPECT_EQ(FindViolations(dir.Join("src")), expected);
}

}  // namespace
}  // namespace tidewell
