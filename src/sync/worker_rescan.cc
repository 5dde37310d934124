// The rescan road: rescans, expansions and the file-list comparison.
//
// A rescan lists the folder tree on disk (without following links, leaving
// out the working folder, symbolic links and special files) and the event
// database's records, walks both in the same reverse order and queues an
// event for every difference. The removals a rescan finds are queued only
// when the removal guard agrees: a lost session folder or a mass deletion
// is held instead. A folder that exists but cannot be listed stops the
// rescan: an unreadable folder is not an empty one.

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "base/error_code.h"
#include "db/file_event_db.h"
#include "db/file_list.h"
#include "db/string_buffer.h"
#include "events/event_generator.h"
#include "events/event_manager.h"
#include "sync/removal_guard.h"
#include "sync/sync_log.h"
#include "sync/worker.h"

namespace tidewell {

namespace {

unsigned long long U(uint64_t v) { return static_cast<unsigned long long>(v); }

// Orders two list paths as the lists' reverse iterators yield them: the
// first differing component decides by descending byte order, and an
// item's content comes before the item. > 0 when `a` comes first.
int CompareListPaths(std::string_view a, std::string_view b) {
  size_t i = 0;
  size_t j = 0;
  for (;;) {
    if (i < a.size() && a[i] == '/') ++i;
    if (j < b.size() && b[j] == '/') ++j;
    const bool a_end = i >= a.size();
    const bool b_end = j >= b.size();
    if (a_end || b_end) return a_end == b_end ? 0 : (a_end ? -1 : 1);
    size_t ai = a.find('/', i);
    size_t bj = b.find('/', j);
    if (ai == std::string_view::npos) ai = a.size();
    if (bj == std::string_view::npos) bj = b.size();
    int c = a.substr(i, ai - i).compare(b.substr(j, bj - j));
    if (c != 0) return c;
    i = ai;
    j = bj;
  }
}

std::string ChildPath(std::string_view dir, std::string_view name) {
  std::string out(dir == "/" ? std::string_view() : dir);
  out += '/';
  out += name;
  return out;
}

const char* SpecialKind(FILE_TYPE type) {
  switch (type) {
    case FT_SLINK:
      return "symbolic link";
    case FT_FIFO:
      return "FIFO";
    case FT_SOCK:
      return "socket";
    case FT_DEV:
      return "device";
    default:
      return "special file";
  }
}

}  // namespace

int Worker::Rescan() {
  const Event& e = context.current_event;
  const ustring path = e.m_path;
  WK_LOG_INFO("Worker (%d): rescaning directory '%s'\n", GetId(), context.full_path.c_str_utf8());
  if (env.removal_guard.CheckRoot(context.root_entry) != 0) {
    WK_LOG_NOTE("Worker (%d): rescan of '%s' skipped: the session folder is lost\n", GetId(), path.c_str_utf8());
    return -1;
  }
  auto db = GetEventDatabase();
  StringBuffer names;
  FileList local(names);
  FileList database(names);
  if (WalkLocalTree(path, local, FileList::kRoot, nullptr) != 0) {
    WK_LOG_NOTE("interrupted while rescaning '%s'\n", context.full_path.c_str_utf8());
    return -1;
  }
  if (!db || db->getFileList(&database, path) != 0) {
    WK_LOG_NOTE("interrupted while rescaning '%s'\n", context.full_path.c_str_utf8());
    return -1;
  }
  std::vector<Event> removals;
  rescan_removals = &removals;
  int rc = CompareFileList(path, local, database, (e.m_mode & Event::F_MERGE) != 0);
  rescan_removals = nullptr;
  if (rc != 0) {
    // An interrupted comparison has not seen everything: its removals go.
    WK_LOG_NOTE("interrupted while rescaning '%s'\n", context.full_path.c_str_utf8());
    return -1;
  }
  if (removals.empty()) return 0;
  uint64_t session_items = 0;
  if (db->countEventInfo(ustring("/"), session_items) != 0) {
    WK_LOG_ERROR("Worker (%d): rescan of '%s': cannot count the session's records; no removal queued\n", GetId(),
                 path.c_str_utf8());
    return -1;
  }
  switch (env.removal_guard.AdmitRescan(context.root_entry, removals, session_items)) {
    case RemovalGuard::kSend:
      for (const Event& r : removals) PushLocalRemoveEvent(context.root_entry, r.m_path, r.IsDir(), env.events);
      return 0;
    case RemovalGuard::kHeld:
      WK_LOG_INFO("Worker (%d): rescan of '%s': %zu removals held until the user confirms\n", GetId(),
                  path.c_str_utf8(), removals.size());
      return 0;
    case RemovalGuard::kRootLost:
      WK_LOG_NOTE("Worker (%d): rescan of '%s': the session folder is lost; %zu removals dropped\n", GetId(),
                  path.c_str_utf8(), removals.size());
      return -1;
  }
  return 0;
}

int Worker::Expand() {
  const ustring path = context.current_event.m_path;
  WK_LOG_INFO("Worker (%d): expanding directory '%s'\n", GetId(), context.full_path.c_str_utf8());
  if (env.removal_guard.CheckRoot(context.root_entry) != 0) {
    WK_LOG_NOTE("Worker (%d): expansion of '%s' skipped: the session folder is lost\n", GetId(), path.c_str_utf8());
    return -1;
  }
  StringBuffer names;
  FileList unused(names);
  std::vector<std::pair<std::string, bool>> found;
  if (WalkLocalTree(path, unused, FileList::kRoot, &found) != 0) {
    WK_LOG_NOTE("interrupted while expanding '%s'\n", context.full_path.c_str_utf8());
    return -1;
  }
  for (const auto& [child, is_dir] : found) {
    WK_LOG_DEBUG("ExpandHandler push local event: %s\n", child.c_str());
    PushUploadEvent(context.root_entry, ustring(child), is_dir, env.events);
  }
  return 0;
}

// Walks the tree below the session-relative folder `rel`, folders before
// their content: into `list` below the directory `index`, or, with
// `found`, as session-relative paths. A folder that does not exist counts
// as empty; one that cannot be listed fails the walk (-1), as does a raised
// abort flag.
int Worker::WalkLocalTree(const ustring& rel, FileList& list, int index,
                          std::vector<std::pair<std::string, bool>>* found) {
  std::vector<SessionDirEntry> entries;
  int rc = fs.List(rel, entries);
  if (rc == -ENOENT || rc == -ENOTDIR) {
    WK_LOG_WARNING("FSOpenDir(%s)\n", fs.FullPath(rel).c_str_utf8());
    return 0;
  }
  if (rc < 0) {
    WK_LOG_ERROR("Worker (%d): cannot list '%s': %s\n", GetId(), fs.FullPath(rel).c_str_utf8(),
                 SessionFsErrorString(rc).c_str());
    return -1;
  }
  const bool at_root = rel.utf8_view() == "/" || rel.empty();
  for (const SessionDirEntry& entry : entries) {
    const std::string child = ChildPath(rel.utf8_view(), entry.name);
    if (abort_flag.load() != 0) {
      WK_LOG_NOTE("Traversing '%s' ... abort\n", child.c_str());
      return -1;
    }
    if (at_root && entry.name == kWorkingFolderName) continue;
    if (entry.type == FT_FILE) {
      if (found != nullptr) {
        found->emplace_back(child, false);
      } else {
        WK_LOG_DEBUG("Worker (%d): local list: add file '%s'\n", GetId(), child.c_str());
        if (list.AddFile(index, entry.name.c_str(), entry.mtime, entry.size) != 0)
          WK_LOG_WARNING("Worker (%d): cannot list '%s'\n", GetId(), child.c_str());
      }
    } else if (entry.type == FT_DIR) {
      int sub = FileList::kRoot;
      if (found != nullptr) {
        found->emplace_back(child, true);
      } else {
        WK_LOG_DEBUG("Worker (%d): local list: add dir '%s'\n", GetId(), child.c_str());
        sub = list.AddDirectory(index, entry.name.c_str(), entry.mtime);
        if (sub < 0) {
          WK_LOG_ERROR("Worker (%d): cannot list '%s'\n", GetId(), child.c_str());
          return -1;
        }
      }
      if (WalkLocalTree(ustring(child), list, sub, found) != 0) {
        WK_LOG_NOTE("Traversing '%s' ... abort\n", child.c_str());
        return -1;
      }
    } else {
      WK_LOG_INFO("Worker (%d): '%s' skipped: a %s is never synchronised\n", GetId(), child.c_str(),
                  SpecialKind(entry.type));
    }
  }
  return 0;
}

int Worker::BuildLocalFileListWithoutResursive(const ustring& dir, FileList& list) {
  WK_LOG_DEBUG("BuildLocalFileListWithoutResursive: path '%s'\n", dir.c_str_utf8());
  std::vector<SessionDirEntry> entries;
  int rc = fs.List(dir, entries);
  if (rc == -ENOENT || rc == -ENOTDIR) {
    WK_LOG_DEBUG("BuildLocalFileListWithoutResursive: Failed to open directory '%s'\n", fs.FullPath(dir).c_str_utf8());
    return 0;
  }
  if (rc < 0) {
    WK_LOG_ERROR("BuildLocalFileListWithoutResursive: cannot list '%s': %s\n", fs.FullPath(dir).c_str_utf8(),
                 SessionFsErrorString(rc).c_str());
    return -1;
  }
  const bool at_root = dir.utf8_view() == "/" || dir.empty();
  for (const SessionDirEntry& entry : entries) {
    if (abort_flag.load() != 0) {
      WK_LOG_INFO("BuildLocalFileListWithoutResursive: user stopped\n");
      return -1;
    }
    if (at_root && entry.name == kWorkingFolderName) continue;
    if (entry.type == FT_FILE) {
      WK_LOG_DEBUG("BuildLocalFileList: add file '%s' (%u, %llu)\n", entry.name.c_str(), entry.mtime, U(entry.size));
      (void)list.AddFile(FileList::kRoot, entry.name.c_str(), entry.mtime, entry.size);
    } else if (entry.type == FT_DIR) {
      WK_LOG_DEBUG("BuildLocalFileList: add dir '%s' (%u)\n", entry.name.c_str(), entry.mtime);
      (void)list.AddDirectory(FileList::kRoot, entry.name.c_str(), entry.mtime);
    } else {
      WK_LOG_INFO("Worker (%d): '%s' skipped: a %s is never synchronised\n", GetId(),
                  ChildPath(dir.utf8_view(), entry.name).c_str(), SpecialKind(entry.type));
    }
  }
  return 0;
}

int Worker::CompareFileList(const ustring& root, const FileList& local, const FileList& database, bool merge) {
  const uint64_t sess_id = context.current_event.m_sess_id;
  const bool msdos = context.root_entry.isMSDOS;
  auto full = [&](const ustring& p) {
    return root.utf8_view() == "/" ? p : ustring(std::string(root.utf8_view()) + std::string(p.utf8_view()));
  };
  auto upload = [&](const FileList::Entry& l) { PushUploadEvent(context.root_entry, full(l.path), l.attrb == 1, env.events); };
  auto only_in_database = [&](const FileList::Entry& d) {
    const ustring path = full(d.path);
    const bool is_dir = d.attrb == 1;
    if (TestFilteredDeleteEvent(sess_id, path, is_dir) == 1) return;
    if (merge) {
      PushDownloadEvent(context.root_entry, path, is_dir, env.events);
    } else if (rescan_removals != nullptr) {
      Event r;
      r.m_type = Event::EV_REMOVE;
      r.m_mode = is_dir ? Event::F_DIR : 0;
      r.m_sess_id = sess_id;
      r.m_path = path;
      rescan_removals->push_back(r);
    } else {
      PushLocalRemoveEvent(context.root_entry, path, is_dir, env.events);
    }
  };
  auto stopped = [&] {
    if (abort_flag.load() == 0) return false;
    WK_LOG_INFO("CompareFileList: user stopped\n");
    return true;
  };

  auto li = local.rbegin();
  auto di = database.rbegin();
  const auto le = local.rend();
  const auto de = database.rend();
  while (li != le && di != de) {
    if (stopped()) return -1;
    int c = CompareListPaths(li->path.utf8_view(), di->path.utf8_view());
    if (c > 0) {
      upload(*li);
      ++li;
      continue;
    }
    if (c < 0) {
      only_in_database(*di);
      ++di;
      continue;
    }
    if (li->attrb == di->attrb) {
      bool same_time = li->mtime == di->mtime;
      if (!same_time && msdos) same_time = (li->mtime > di->mtime ? li->mtime - di->mtime : di->mtime - li->mtime) <= 1;
      if (li->attrb == 0 && (li->size != di->size || !same_time)) {
        WK_LOG_DEBUG("CompareFileList: '%s' is locally modified ...\n", full(li->path).c_str_utf8());
        upload(*li);
      } else {
        WK_LOG_DEBUG("CompareFileList: skipping: %s\n", full(li->path).c_str_utf8());
      }
    } else {
      upload(*li);
      if (merge) PushDownloadEvent(context.root_entry, full(di->path), di->attrb == 1, env.events);
    }
    ++li;
    ++di;
  }
  for (; li != le; ++li) {
    if (stopped()) return -1;
    WK_LOG_DEBUG("fs_iter: %s\n", full(li->path).c_str_utf8());
    upload(*li);
  }
  for (; di != de; ++di) {
    if (stopped()) return -1;
    WK_LOG_DEBUG("db_iter: %s\n", full(di->path).c_str_utf8());
    only_in_database(*di);
  }
  return 0;
}

void Worker::CreateDirSelfEvent() {
  const Event& e = context.current_event;
  WK_LOG_DEBUG("CreateDirSelfEvent event: %s\n", e.toString().c_str_utf8());
  if (e.m_mode & (Event::F_LOCAL_SUBDIR_RESCAN_STAT | Event::F_SERVER_SUBDIR_RESCAN_STAT)) {
    FILE_INFO info;
    int rc = fs.Stat(e.m_path, info);
    if (rc < 0) {
      WK_LOG_ERROR("CreateDirSelfEvent: failed to get local file system info of '%s'\n", e.m_path.c_str_utf8());
      return;
    }
    if (info.isExist) {
      WK_LOG_INFO("CreateDirSelfEvent: upload [%s].\n", e.m_path.c_str_utf8());
      PushUploadEvent(context.root_entry, e.m_path, true, env.events);
    } else {
      WK_LOG_INFO("CreateDirSelfEvent: download [%s].\n", e.m_path.c_str_utf8());
      PushDownloadEvent(context.root_entry, e.m_path, true, env.events);
    }
    return;
  }
  Event self = e;
  self.m_mode = Event::F_DIR;
  env.events.PushLocalEvent(self);
  WK_LOG_INFO("CreateDirSelfEvent: create self event [%s].\n", e.m_path.c_str_utf8());
}

}  // namespace tidewell
