#include "cli/verify.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>

#include "db/sqlite_util.h"
#include "delta/md4.h"
#include "platform/dir_list.h"
#include "sync/detector.h"

namespace tidewell::cli {

namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string Short(const std::string& hash) { return hash.size() > 12 ? hash.substr(0, 12) : hash; }

std::string Describe(const TreeItem& t) {
  if (t.is_dir) return "folder";
  return Short(t.hash) + " (" + std::to_string(t.size) + " bytes)";
}

std::string Describe(const ServerObject& o) {
  if (o.is_dir) return "folder";
  return Short(o.hash) + " (" + std::to_string(o.size) + " bytes)";
}

bool IsPending(const std::set<std::string>& pending, const std::string& path) {
  if (pending.count(path)) return true;
  for (size_t at = path.rfind('/'); at != std::string::npos && at > 0; at = path.rfind('/', at - 1)) {
    if (pending.count(path.substr(0, at))) return true;
  }
  auto below = pending.lower_bound(path + "/");
  return below != pending.end() && below->rfind(path + "/", 0) == 0;
}

struct DbClose {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using DbPtr = std::unique_ptr<sqlite3, DbClose>;

// Opens `file` read-only; null when it cannot be opened.
DbPtr OpenReadOnly(const std::string& file) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  // The daemon may be writing; wait for it rather than fail.
  sqlite3_busy_timeout(db, 10000);
  return DbPtr(db);
}

int Scan(const std::string& root, const std::string& rel, std::map<std::string, TreeItem>& out,
         const std::function<void(const std::string&)>& on_file) {
  DIR_HANDLE dh;
  FSOpenDir(ustring(root + rel), kDirReadStat, dh);
  DIR_ENTRY e;
  int rc;
  while ((rc = FSReadDir(dh, e)) == 1) {
    const std::string name = e.name.c_str_utf8();
    if (name == "." || name == "..") continue;
    if (rel.empty() && name == Detector::kWorkingDirectory) continue;
    const std::string path = rel + "/" + name;
    if (e.type == FT_DIR) {
      out[path] = TreeItem{true, 0, ""};
      if (Scan(root, path, out, on_file) != 0) out[path].hash = "?";  // unreadable folder
    } else if (e.type == FT_FILE) {
      TreeItem t{false, e.size, ""};
      if (on_file) on_file(path);
      if (FileMd4Hex(root + path, t.hash) != 0) t.hash = "?";
      out[path] = t;
    }
  }
  FSCloseDir(dh);
  return rc < 0 ? -1 : 0;
}

}  // namespace

const char* VerifyKindName(VerifyKind kind) {
  switch (kind) {
    case VerifyKind::kPending:
      return "pending";
    case VerifyKind::kLocalOnly:
      return "local only";
    case VerifyKind::kServerOnly:
      return "server only";
    case VerifyKind::kContentDiffers:
      return "content differs";
    case VerifyKind::kRecordStale:
      return "record stale";
  }
  return "?";
}

std::vector<VerifyFinding> CompareTrees(const std::map<std::string, TreeItem>& local,
                                        const std::map<std::string, TreeItem>& records,
                                        const std::map<std::string, ServerObject>& server,
                                        const std::set<std::string>& pending, const ExcludedFn& excluded) {
  std::set<std::string> paths;
  for (const auto& [p, _] : local) paths.insert(p);
  for (const auto& [p, _] : records) paths.insert(p);
  for (const auto& [p, _] : server) paths.insert(p);
  std::vector<VerifyFinding> out;
  for (const std::string& path : paths) {
    auto l = local.find(path);
    auto r = records.find(path);
    auto s = server.find(path);
    const TreeItem* L = l == local.end() ? nullptr : &l->second;
    const TreeItem* R = r == records.end() ? nullptr : &r->second;
    const ServerObject* S = s == server.end() ? nullptr : &s->second;
    const bool is_dir = L ? L->is_dir : S ? S->is_dir : R->is_dir;
    const uint64_t size = L ? L->size : S ? S->size : R->size;
    if (excluded && excluded(path, is_dir, size)) continue;

    VerifyFinding f{path, VerifyKind::kPending, ""};
    bool differs = true;
    if (L && S) {
      if (L->is_dir != S->is_dir) {
        f.kind = VerifyKind::kContentDiffers;
        f.detail = "local " + Describe(*L) + ", server " + Describe(*S);
      } else if (L->hash == "?") {
        f.kind = VerifyKind::kContentDiffers;
        f.detail = L->is_dir ? "the local folder cannot be listed" : "the local file cannot be read";
      } else if (!L->is_dir && Lower(L->hash) != Lower(S->hash)) {
        f.kind = VerifyKind::kContentDiffers;
        f.detail = "local " + Describe(*L) + ", server " + Describe(*S);
      } else if (!R) {
        f.kind = VerifyKind::kRecordStale;
        f.detail = "no record of it";
      } else if (R->is_dir != L->is_dir || (!L->is_dir && Lower(R->hash) != Lower(L->hash))) {
        f.kind = VerifyKind::kRecordStale;
        f.detail = "record holds " + Describe(*R) + ", both sides " + Describe(*L);
      } else {
        differs = false;
      }
    } else if (L) {
      f.kind = VerifyKind::kLocalOnly;
      f.detail = Describe(*L);
    } else if (S) {
      f.kind = VerifyKind::kServerOnly;
      f.detail = Describe(*S);
    } else {
      f.kind = VerifyKind::kRecordStale;
      f.detail = "record of " + Describe(*R) + " that neither side has";
    }
    if (!differs) continue;
    if (IsPending(pending, path)) {
      f.detail = std::string(VerifyKindName(f.kind)) + " while the daemon works on it";
      f.kind = VerifyKind::kPending;
    }
    out.push_back(f);
  }
  return out;
}

int FileMd4Hex(const std::string& path, std::string& hex) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return -1;
  MD4 md4;
  std::vector<char> buf(1 << 20);
  while (in) {
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    const std::streamsize n = in.gcount();
    if (n > 0) md4.Update(buf.data(), static_cast<size_t>(n));
  }
  if (in.bad()) return -1;
  uint8_t digest[kMD4DigestSize];
  md4.Final(digest);
  hex.clear();
  char two[3];
  for (uint8_t b : digest) {
    snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  return 0;
}

int ScanLocalTree(const std::string& root, std::map<std::string, TreeItem>& out, std::string& error,
                  const std::function<void(const std::string&)>& on_file) {
  out.clear();
  if (Scan(root, "", out, on_file) != 0) {
    error = "cannot list the folder '" + root + "'";
    return -1;
  }
  return 0;
}

int ReadEventRecords(const std::string& db_file, std::map<std::string, TreeItem>& out, std::string& error) {
  out.clear();
  FILE* probe = fopen(db_file.c_str(), "rb");
  if (probe == nullptr) return 0;
  fclose(probe);
  DbPtr db = OpenReadOnly(db_file);
  Statement st;
  if (!db || st.Prepare(db.get(), "SELECT path, fileType, fileCheckSum, fileSize FROM eventinfo WHERE isExist = 1;") !=
                 SQLITE_OK) {
    error = "cannot read the event database '" + db_file + "'" + (db ? std::string(": ") + sqlite3_errmsg(db.get()) : "");
    return -1;
  }
  int rc;
  while ((rc = st.Step()) == SQLITE_ROW) {
    std::string path(st.ColumnText(0));
    if (path.empty() || path[0] != '/') path = "/" + path;
    TreeItem t;
    t.is_dir = st.ColumnInt64(1) == 1;
    t.hash = t.is_dir ? "" : std::string(st.ColumnText(2));
    t.size = st.ColumnUint64(3);
    out[path] = t;
  }
  if (rc != SQLITE_DONE) {
    error = "cannot read the event database '" + db_file + "': " + sqlite3_errmsg(db.get());
    return -1;
  }
  return 1;
}

int ReadSyncingPaths(const std::string& db_file, const std::string& root, std::set<std::string>& out) {
  FILE* probe = fopen(db_file.c_str(), "rb");
  if (probe == nullptr) return 0;
  fclose(probe);
  DbPtr db = OpenReadOnly(db_file);
  Statement st;
  if (!db || st.Prepare(db.get(), "SELECT path FROM fstatinfo WHERE syncStatus = 2;") != SQLITE_OK) return -1;
  int rc;
  while ((rc = st.Step()) == SQLITE_ROW) {
    std::string full(st.ColumnText(0));
    std::replace(full.begin(), full.end(), '\\', '/');
    if (full.rfind(root + "/", 0) == 0) out.insert(full.substr(root.size()));
  }
  return rc == SQLITE_DONE ? 0 : -1;
}

nlohmann::json VerifyReport(const std::string& folder, const std::map<std::string, TreeItem>& local,
                            const std::vector<VerifyFinding>& findings) {
  size_t files = 0, folders = 0;
  for (const auto& [_, t] : local) (t.is_dir ? folders : files)++;
  nlohmann::json pending = nlohmann::json::array();
  nlohmann::json mismatches = nlohmann::json::array();
  for (const VerifyFinding& f : findings) {
    if (f.kind == VerifyKind::kPending) {
      pending.push_back(f.path);
    } else {
      mismatches.push_back({{"path", f.path}, {"kind", VerifyKindName(f.kind)}, {"detail", f.detail}});
    }
  }
  return {{"folder", folder}, {"files", files}, {"folders", folders}, {"pending", pending}, {"mismatches", mismatches}};
}

}  // namespace tidewell::cli
