// Applying a received object: the new file is rebuilt from a delta and the
// local basis, or taken whole, verified against the server's hash while its
// signature is made, given its time, and put in place with a durable
// replace once a conflict with a locally changed basis is settled (the
// local file is renamed aside, never overwritten). A local item of the
// other kind is removed first, after whatever inside it the database does
// not know has been moved to safety.

#include <string>
#include <utility>
#include <vector>

#include "base/error_code.h"
#include "base/tmp_name_gen.h"
#include "db/file_event_db.h"
#include "delta/delta_file_reader.h"
#include "delta/file_reader.h"
#include "events/event_generator.h"
#include "events/event_manager.h"
#include "sync/conflict_rename.h"
#include "sync/sync_log.h"
#include "sync/worker.h"

namespace tidewell {

namespace {

constexpr uint32_t kBlockLength = 2048;
constexpr uint32_t kStrongSumLength = 8;

std::string ParentOf(const ustring& path) {
  std::string p(path.utf8_view());
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

// Whether two looks at one item saw the same thing. The sub-second part of
// the time counts: a save within the same second that keeps the size is
// still a change.
bool SameItem(const FILE_INFO& a, const FILE_INFO& b) {
  return a.isExist == b.isExist && a.type == b.type && a.size == b.size && a.mtime == b.mtime &&
         a.mtime_nsec == b.mtime_nsec;
}

}  // namespace

int Worker::ReadLocalFile(const ustring& path, ustring& hash, TempFile* sign_file, int copy_fd) {
  UniqueFd in;
  int rc = fs.OpenRead(path, in);
  if (rc != 0) {
    WK_LOG_ERROR("cannot open '%s' for reading: %s\n", fs.FullPath(path).c_str_utf8(), SessionFsErrorString(rc).c_str());
    return -1;
  }
  if (sign_file != nullptr && sign_file->getPath().empty() && sign_file->create() != 0) return -1;
  SimpleFileReader reader;
  reader.setAbortFlag(&abort_flag);
  reader.setFile(SessionFs::FdPath(in.get()));
  reader.setHashString(&hash);
  if (sign_file != nullptr) reader.setSignature(sign_file->getPath(), kBlockLength, kStrongSumLength);
  if (copy_fd >= 0) reader.setCopyFile(SessionFs::FdPath(copy_fd));
  rc = reader.readFile();
  return rc == 0 ? 0 : (rc == -4 ? -4 : -1);
}

int Worker::CalculateMD4(const ustring& path, ustring& hash) {
  if (ReadLocalFile(path, hash, nullptr) != 0) {
    WK_LOG_ERROR("Worker (%d): CaculateMD4: Failed to calculate checksum for '%s'\n", GetId(),
                 fs.FullPath(path).c_str_utf8());
    return -1;
  }
  return 0;
}

bool Worker::LocallyModified(const FILE_INFO& local, const ClientFileEventInfo& base, const ustring& hash) {
  const char* p = context.full_path.c_str_utf8();
  if (local.type == FT_DIR) {
    if (base.fileType == 1) return false;
    WK_LOG_INFO("ModificationCheck: '%s' appears as FILE in database, but now it is a directory\n", p);
    return true;
  }
  if (local.type == FT_FILE && base.fileType == 1) {
    WK_LOG_INFO("ModificationCheck: '%s' appears as DIR in database, but now it is a file\n", p);
    return true;
  }
  if (local.type != FT_FILE) return false;
  const uint32_t a = local.mtime, b = base.fileModTime;
  const bool same_time = a == b || (context.root_entry.isMSDOS && (a > b ? a - b : b - a) <= 1);
  if (local.size == base.fileSize && same_time) {
    if (hash.empty() || hash == base.fileCheckSum) return false;
    WK_LOG_INFO("ModificationCheck: '%s' is modified (hash does not match)\n", p);
    return true;
  }
  WK_LOG_INFO("ModificationCheck: '%s' is modified (size and mtime not match)\n", p);
  return true;
}

int Worker::TestDownloadConflict(const FILE_INFO& local, const ClientFileEventInfo& base, const PObject& reply) {
  const bool remote_dir = reply["is_dir"].asBool();
  const uint64_t remote_size = reply["file"]["size"].asUInt64();
  const ustring& remote_hash = reply["file"]["hash"].asStringRef();
  const ustring& path = context.current_event.m_path;

  // The local item against the remote version: 2 when it already is it.
  auto compare_with_remote = [&]() -> int {
    if (local.type == FT_DIR) return remote_dir ? 2 : 1;
    if (remote_dir || remote_size != local.size) return 1;
    ustring hash;
    if (CalculateMD4(path, hash) != 0) {
      WK_LOG_ERROR("CheckBasisFile: Failed to calculate checksum for basis file\n");
      return 253;
    }
    if (hash == remote_hash) {
      WK_LOG_INFO("CheckBasisFile: Basis file is the same as the remote file, we are done.\n");
      return 2;
    }
    return 1;
  };

  if (base.syncID == 0) {
    if (!local.isExist) {
      WK_LOG_INFO("CheckBasisFile: Basis is not changed (vanish).\n");
      return 0;
    }
    WK_LOG_INFO("CheckBasisFile: Basis does not appear in database.\n");
    return compare_with_remote();
  }
  if (!local.isExist) {
    WK_LOG_INFO("CheckBasisFile: Basis file vanished.\n");
    return 3;
  }
  if (local.type == FT_DIR) {
    if (base.fileType == 1) {
      WK_LOG_INFO("CheckBasisFile: Basis file is unchanged (dir)\n");
      return 0;
    }
    WK_LOG_INFO("CheckBasisFile: Basis file appears as FILE in database, but now it is a directory\n");
    return compare_with_remote();
  }
  if (base.fileType == 1) {
    WK_LOG_INFO("CheckBasisFile: Basis appears as DIR in database, but now it is a file\n");
    return compare_with_remote();
  }
  if (local.size != base.fileSize) {
    WK_LOG_INFO("CheckBasisFile: Basis file is modified (size not match) \n");
    return compare_with_remote();
  }
  ustring hash;
  if (CalculateMD4(path, hash) != 0) {
    WK_LOG_ERROR("CheckBasisFile: Failed to calculate checksum for basis file\n");
    return 253;
  }
  if (hash == base.fileCheckSum) return 0;
  if (!remote_dir && hash == remote_hash) {
    WK_LOG_INFO("CheckBasisFile: Basis file is the same as the remote file, we are done.\n");
    return 2;
  }
  WK_LOG_INFO("CheckBasisFile: Basis file is locally modified\n");
  return 1;
}

int Worker::HandleDownloadConflict(const PObject& reply) {
  const ustring& path = context.current_event.m_path;
  FILE_INFO local;
  int rc = StatLocal(path, local, "HandleDownloadConflict");
  if (rc != 0) return ERR_SYS;
  checked_local = local;
  if (!local.isExist) return ERR_OK;
  const ClientFileEventInfo& base = context.database_record;
  int result = TestDownloadConflict(local, base, reply);
  if (result == 1) {
    WK_LOG_DEBUG("Worker (%d): HandleDownloadConflict: conflict occurs, resolve conflict first\n", GetId());
    if (ConflictRename(fs, path, ClientName(), ustring("Conflict")) != 0) return ERR_SYS;
    checked_local = FILE_INFO();
    return ERR_OK;
  }
  if (result == 2 || result == 3) {
    WK_LOG_DEBUG("Worker (%d): HandleDownloadConflict: no conflict, keep going\n", GetId());
    return ERR_OK;
  }
  if (result != 0) return ERR_SYS;  // the basis could not be examined: leave it alone
  const bool remote_dir = reply["is_dir"].asBool();
  if ((local.type == FT_DIR) == remote_dir) return ERR_OK;
  WK_LOG_DEBUG("Worker (%d): HandleDownloadConflict: no conflict with type jump\n", GetId());
  if (local.type == FT_DIR) {
    // Whatever inside the database does not know stays in the session.
    if (PreserveUnsyncedEntries(path) < 0 || RemoveDirectoryW(path) != 0) {
      WK_LOG_ERROR("RemoveDirectory: Failed to remove '%s'\n", context.full_path.c_str_utf8());
      return ERR_SYS;
    }
    auto db = GetEventDatabase();
    if (db && db->rmEventInfoV3(path) != 0)
      WK_LOG_ERROR("DownloadRemote: cannot drop the records below '%s'\n", path.c_str_utf8());
  } else if ((rc = fs.Unlink(path)) != 0) {
    WK_LOG_ERROR("DownloadRemote: type jump, but can not remove basis. (%s)\n", SessionFsErrorString(rc).c_str());
    return ERR_SYS;
  }
  checked_local = FILE_INFO();
  return ERR_OK;
}

int Worker::HandleDownloadPatchError(const PObject& reply) {
  const ustring& path = context.current_event.m_path;
  FILE_INFO local;
  if (StatLocal(path, local, "HandleDownloadPatchError") != 0) return ERR_SYS;
  if (!local.isExist) {
    WK_LOG_ERROR("Worker (%d): HandleDownloadPatchError: Basis unchanged but cannot prepare file (basis removed)\n",
                 GetId());
    return ERR_INT;
  }
  int result = TestDownloadConflict(local, context.database_record, reply);
  if (result < 0) return result;
  if (result == 0) {
    WK_LOG_ERROR("Worker(%d): HandleDownloadPatchError: Basis unchanged but cannot prepare file (incorrect patch file)\n",
                 GetId());
    ++patch_err_count;
    return ERR_SYS;
  }
  if (result == 2 || result == 3) return ERR_OK;
  WK_LOG_INFO("Worker (%d): HandleDownloadPatchError: Basis changed, try to resolve conflict\n", GetId());
  return ConflictRename(fs, path, ClientName(), ustring("Conflict")) != 0 ? ERR_SYS : ERR_INT;
}

int Worker::PrepareDownloadFile(const PObject& reply, ustring& new_file, TempFile& sign_file) {
  const ustring& path = context.current_event.m_path;
  const PObject& file = reply["file"];
  if (!reply.hasMember("file") || file["refer"].asBool()) {
    // The content is the version the client holds: there must be one, or
    // the record written next would claim a file that is not there, which
    // the next rescan would read as a local deletion.
    const ClientFileEventInfo& base = context.database_record;
    FILE_INFO local;
    if (base.syncID == 0 || base.fileType != 0 || StatLocal(path, local, "PrepareDownloadFile") != 0 ||
        !local.isExist || local.type != FT_FILE) {
      WK_LOG_ERROR("PrepareDownloadFile: the reply for '%s' carries no content and there is no local version to keep\n",
                   path.c_str_utf8());
      return ERR_SYS;
    }
    new_file = path;
    return ERR_OK;
  }
  if (sign_file.create() != 0) {
    WK_LOG_ERROR("PrepareDownloadFile: failed to prepare temporary file\n");
    return ERR_SYS;
  }
  // The received body: a file this worker's stream made in the working
  // folder, never a name the server chose.
  const ustring& data = file["data"].asBinary().path;
  const std::string work(context.working_directory.utf8_view());
  const std::string local_root(context.root_entry.local_path.utf8_view());
  if (data.utf8_view().rfind(work + "/", 0) != 0) {
    WK_LOG_ERROR("PrepareDownloadFile: the reply for '%s' carries no content\n", path.c_str_utf8());
    return ERR_SYS;
  }
  const ustring data_rel(std::string(data.utf8_view().substr(local_root.size())));

  // When the new content cannot be had but the local file already is the
  // remote version, the local file is the result; its signature is made
  // again, since the one of the failed attempt is incomplete.
  auto use_local = [&]() -> int {
    WK_LOG_INFO("PrepareDownloadFile: basis file is the same as the new file...\n");
    new_file = path;
    sign_file.remove();
    ustring hash;
    if (ReadLocalFile(path, hash, &sign_file) != 0) return ERR_SYS;
    return ERR_OK;
  };

  ustring hash;
  if (file["is_delta"].asBool()) {
    WK_LOG_DEBUG("PrepareDownloadFile: download patch file\n");
    const ustring built = TmpNameGen::getInstance().getTmpName(WorkingRel());
    UniqueFd out, patch, basis;
    if (fs.Create(built, true, 0666, out) != 0) {
      WK_LOG_ERROR("PrepareDownloadFile: failed to prepare temporary file\n");
      return ERR_SYS;
    }
    WK_LOG_DEBUG("new file will be generated at %s\n", fs.FullPath(built).c_str_utf8());
    int rc = fs.OpenRead(data_rel, patch);
    int basis_rc = rc == 0 ? fs.OpenRead(path, basis) : rc;
    if (rc == 0 && basis_rc == 0) {
      DeltaFileReader reader;
      reader.setAbortFlag(&abort_flag);
      reader.setFile(SessionFs::FdPath(patch.get()), SessionFs::FdPath(basis.get()));
      reader.setNewFile(SessionFs::FdPath(out.get()));
      reader.setHashString(&hash);
      reader.setSignature(sign_file.getPath(), kBlockLength, kStrongSumLength);
      rc = reader.readFile();
    } else {
      rc = basis_rc;
    }
    out.reset();
    if (rc != 0) {
      (void)fs.Unlink(built);
      if (abort_flag.load() != 0) return streamErr2DaemonErr(kStreamChannel);
      WK_LOG_WARNING("PrepareDownloadFile: the delta received for '%s' cannot be applied to the local file (%d)\n",
                     path.c_str_utf8(), rc);
      WK_LOG_INFO("PrepareDownloadFile: Check basis file of (%s) after patching failure ...\n",
                  context.full_path.c_str_utf8());
      int handled = HandleDownloadPatchError(reply);
      return handled < 0 ? handled : use_local();
    }
    new_file = built;
  } else {
    WK_LOG_DEBUG("PrepareDownloadFile: download whole file\n");
    new_file = data_rel;
    if (ReadLocalFile(data_rel, hash, &sign_file) != 0) {
      if (abort_flag.load() != 0) return streamErr2DaemonErr(kStreamChannel);
      WK_LOG_ERROR("PrepareDownloadFile: Failed to verify new file, try it again\n");
      return ERR_SYS;
    }
  }
  if (hash == file["hash"].asStringRef()) return ERR_OK;
  WK_LOG_WARNING("PrepareDownloadFile: the %s received for '%s' does not match its hash\n",
                 new_file != data_rel ? "file rebuilt from the delta" : "content", path.c_str_utf8());
  WK_LOG_INFO("PrepareDownloadFile: Check basis file of (%s) after incorrect patch file ...\n",
              context.full_path.c_str_utf8());
  if (new_file != data_rel) (void)fs.Unlink(new_file);
  int handled = HandleDownloadPatchError(reply);
  return handled < 0 ? handled : use_local();
}

int Worker::ProcessDownloadFile(const PObject& reply, TempFile& sign_file) {
  const ustring& path = context.current_event.m_path;
  ustring new_file;
  int rc = PrepareDownloadFile(reply, new_file, sign_file);
  if (rc == 0) rc = UpdateAttribute(new_file, reply);
  if (rc != 0 || new_file == path) return rc;

  auto discard = [&] { (void)fs.Unlink(new_file); };
  rc = HandleDownloadConflict(reply);
  if (rc != 0) {
    WK_LOG_ERROR("ProcessDownloadFile: HandleDownloadConflict(%s) failed\n", context.full_path.c_str_utf8());
    discard();
    return rc;
  }
  OnDownloadConflictChecked(path);
  const std::string parent = ParentOf(path);
  if (!parent.empty() && (rc = fs.MakeDirs(ustring(parent))) != 0) {
    WK_LOG_ERROR("DownloadRemote: Cannot create parent directory of '%s' (%s)\n", context.full_path.c_str_utf8(),
                 SessionFsErrorString(rc).c_str());
    discard();
    return ERR_SYS;
  }
  // The local item must still be what the conflict check saw; a change in
  // the meantime is looked at again on the next attempt.
  if (!LocalStillAsChecked()) {
    discard();
    return ERR_INT;
  }
  WK_LOG_DEBUG("rename %s -> %s\n", fs.FullPath(new_file).c_str_utf8(), context.full_path.c_str_utf8());
  rc = fs.DurableReplace(new_file, path);
  if (rc == 0) return ERR_OK;
  WK_LOG_ERROR("DownloadRemote: Cannot rename from %s -> %s (%s)\n", fs.FullPath(new_file).c_str_utf8(),
               context.full_path.c_str_utf8(), SessionFsErrorString(rc).c_str());
  if (rc == -ENAMETOOLONG) {
    discard();
    return -100;
  }
  // The downloaded content is kept in the recycle folder.
  if (moveFileToRecycleBin(new_file, reply["file"]["size"].asUInt64(), reply["file"]["hash"].asString(),
                           reply["mac_attribute"]["hash"].asString()) != 0)
    discard();
  return ERR_SYS;
}

bool Worker::LocalStillAsChecked() {
  FILE_INFO now;
  if (fs.Stat(context.current_event.m_path, now) == 0 && SameItem(now, checked_local)) return true;
  WK_LOG_INFO("Worker (%d): '%s' changed while its download was prepared, try it again\n", GetId(),
              context.full_path.c_str_utf8());
  return false;
}

int Worker::ProcessDownloadDirectory(const PObject& reply) {
  const ustring& path = context.current_event.m_path;
  // A file in the folder's place is settled like a file download's basis:
  // renamed aside when it holds changes, removed when it is what the
  // database knows.
  FILE_INFO local;
  int rc = StatLocal(path, local, "ProcessDownloadDirectory");
  if (rc != 0) return rc == 1 ? ERR_OK : rc;
  if (local.isExist && local.type != FT_DIR && (rc = HandleDownloadConflict(reply)) != 0) return rc;
  if ((rc = fs.MakeDirs(path)) != 0) {
    WK_LOG_ERROR("ProcessDownloadDirectory: Cannot create directory %s (%s)\n", context.full_path.c_str_utf8(),
                 SessionFsErrorString(rc).c_str());
    return ERR_SYS;
  }
  rc = UpdateAttribute(path, reply);
  if (rc != 0) WK_LOG_ERROR("ProcessDownloadDirectory: Cannot apply attribute for %s\n", context.full_path.c_str_utf8());
  return rc;
}

int Worker::UpdateAttribute(const ustring& path, const PObject& reply) {
  uint32_t mtime;
  if (reply.hasMember("mtime")) {
    if (reply["mtime"]["refer"].asBool()) {
      WK_LOG_INFO("last motify time is not changed\n");
      return ERR_OK;
    }
    mtime = reply["mtime"]["mtime"].asUInt32();
  } else if (reply.hasMember("common_attribute")) {
    mtime = reply["common_attribute"]["mtime"].asUInt32();
  } else {
    WK_LOG_INFO("last motify time is not provided, might be out of sync\n");
    return ERR_OK;
  }
  int rc = fs.SetTimes(path, mtime);
  if (rc != 0)
    WK_LOG_WARNING("cannot set the time of '%s': %s\n", fs.FullPath(path).c_str_utf8(), SessionFsErrorString(rc).c_str());
  return ERR_OK;
}

void Worker::AdjustMtimeForMSDOS(PObject& reply) {
  PObject& holder = reply.hasMember("mtime") ? reply["mtime"] : reply["common_attribute"];
  if (holder.isMap() && holder.hasMember("mtime")) holder["mtime"] = holder["mtime"].asUInt32() & ~1u;
}

int Worker::PreserveUnsyncedEntries(const ustring& dir, ustring* copy) {
  auto db = GetEventDatabase();
  std::vector<ustring> to_move;
  std::vector<ustring> pending{dir};
  while (!pending.empty()) {
    ustring current = std::move(pending.back());
    pending.pop_back();
    std::vector<SessionDirEntry> entries;
    int rc = fs.List(current, entries);
    if (rc < 0) {
      WK_LOG_ERROR("PreserveUnsyncedEntries: cannot list '%s': %s\n", fs.FullPath(current).c_str_utf8(),
                   SessionFsErrorString(rc).c_str());
      return ERR_SYS;
    }
    for (const SessionDirEntry& e : entries) {
      if (abort_flag.load() != 0) return ERR_SYS;
      ustring child(std::string(current.utf8_view()) + "/" + e.name);
      ClientFileEventInfo record;
      const bool known = db && db->getEventInfo(child, record) == 1 && record.isExist;
      if (known && e.type == FT_DIR && record.fileType == 1) {
        pending.push_back(child);
        continue;
      }
      if (known && e.type == FT_FILE && record.fileType == 0 && record.fileSize == e.size &&
          record.fileModTime == e.mtime)
        continue;  // what the database knows goes with the folder
      to_move.push_back(child);
    }
  }
  if (to_move.empty()) return 0;

  // The conflict copy of the folder, beside it.
  const std::string suffix = ConflictSuffix(ClientName(), ustring("Conflict"));
  ustring keep;
  for (int n = 0; n <= 99; ++n) {
    ustring candidate = InsertBeforeExtension(dir, ustring(n == 0 ? suffix : suffix + "_" + std::to_string(n)));
    FILE_INFO info;
    if (fs.Stat(candidate, info) == 0 && !info.isExist) {
      keep = candidate;
      break;
    }
  }
  if (keep.empty()) {
    WK_LOG_ERROR("PreserveUnsyncedEntries: no free conflict name beside '%s'\n", fs.FullPath(dir).c_str_utf8());
    return ERR_SYS;
  }
  const size_t cut = dir.size();
  for (const ustring& from : to_move) {
    ustring to(std::string(keep.utf8_view()) + std::string(from.utf8_view().substr(cut)));
    int rc = fs.MakeDirs(ustring(ParentOf(to)));
    if (rc == 0) rc = fs.Rename(from, to, false);
    if (rc != 0) {
      WK_LOG_ERROR("PreserveUnsyncedEntries: cannot move '%s' to '%s': %s\n", fs.FullPath(from).c_str_utf8(),
                   fs.FullPath(to).c_str_utf8(), SessionFsErrorString(rc).c_str());
      return ERR_SYS;
    }
    WK_LOG_INFO("PreserveUnsyncedEntries: '%s' is not synchronised, kept as '%s'\n", from.c_str_utf8(),
                to.c_str_utf8());
  }
  // The copy is new to the server: the folder and everything in it.
  PushUploadEvent(context.root_entry, keep, true, env.events);
  env.events.IssueExpand(context.current_event.m_sess_id, keep);
  if (copy != nullptr) *copy = keep;
  return static_cast<int>(to_move.size());
}

}  // namespace tidewell
