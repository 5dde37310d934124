// Worker: a task thread that carries out sync events, one at a time.
//
// Each pass takes an event from the event manager, loads the session's
// registry entry and the item's database record into its EventContext,
// dispatches it to one of the roads below (download, upload, removal,
// rescan/expansion, subfolder-delete expansion), turns the result into an
// action through its error table, and tells the event manager that the
// event is done, must be redone later, or is kept and tried again.
//
// Roads and the files that hold them:
//   core        worker_core.cc      loop, context, error table, notices,
//                                   pause handshake, protocol exchange
//   download    worker_download.cc  DownloadRemote and what decides whether
//                                   anything must be fetched at all
//   apply       worker_apply.cc     rebuilding, verifying and placing a
//                                   received object; conflict checks
//   upload      worker_upload.cc
//   removal     worker_remove.cc    both directions, recycle folder
//   rescan      worker_rescan.cc    rescan, expansion, file-list comparison
//   gates       worker_gates.cc     filter and selective-sync gates
//
// Paths: an event path is session-relative and begins with "/". Every
// operation below that takes a path takes such a session-relative path
// (the working folder is "/.VeltronaWorkingDirectory", see WorkingRel),
// and every local write, rename and removal goes through `fs` (SessionFs),
// which never follows a symbolic link and never leaves the session root.
//
// Results: 0 or a daemon error code (base/error_code.h) unless said
// otherwise.
//
// Thread-safety: the roads run on the worker's own thread only. Other
// threads may call Pause, Resume, Stop, SetAbort, setPauseInstance,
// GetWorkingStatus and the *CurrentProcessEventInfo operations:
// `abort_flag` and `pause_instance` are atomics, `m_current_event` is
// guarded by `worker_state_lock`, and the stream's progress counters lock
// themselves.

#ifndef TIDEWELL_SYNC_WORKER_H_
#define TIDEWELL_SYNC_WORKER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/task.h"
#include "base/ustring.h"
#include "db/file_event_info.h"
#include "events/event.h"
#include "net/channel.h"
#include "net/pobject.h"
#include "net/pstream.h"
#include "platform/file_types.h"
#include "platform/session_fs.h"
#include "platform/temp_file.h"
#include "session/registry.h"
#include "sync/sync_env.h"

namespace tidewell {

class BlackList2;
class FileEventDB;
class FileList;
class WhiteListCpp;
struct FilterLocalEvent;

class Worker : public Task {
 public:
  enum WorkingType { W_TYPE_NONE = 0, W_TYPE_UPLOAD = 1, W_TYPE_DOWNLOAD = 2 };

  // What the worker is doing, for status queries.
  struct ProcessEvent_T {
    uint64_t session_id = 0;
    ustring path;
    WorkingType working_type = W_TYPE_NONE;
  };

  // The controller's record for making workers let go of their events: it
  // sets `count` to the number of workers it asks, hands the record to each
  // (setPauseInstance), raises their abort flags and waits on `pause_cond`
  // under `pause_mutex` until `count` is 0. Each worker counts down once at
  // the top of its next pass (NotifyAbortDone); the last one signals.
  struct PauseType_T {
    std::mutex pause_mutex;
    std::condition_variable pause_cond;
    uint32_t count = 0;  // guarded by pause_mutex
  };

  // What DoneEvent reports to the user interface.
  enum NotifyEventType {
    NOTIFY_NONE = 0,
    NOTIFY_FILTERED = 1,
    NOTIFY_SERVER_MODIFY = 2,
    NOTIFY_SERVER_REMOVE = 3,
    NOTIFY_CLIENT_MODIFY = 4,
    NOTIFY_CLIENT_REMOVE = 5,
  };

  // The event being processed and everything loaded for it. Owned by the
  // worker's thread; `mutex` lets other code that borrows the context lock
  // it (lock/unlock).
  struct EventContext {
    Event current_event;
    Registry::Entry root_entry;
    ClientFileEventInfo database_record;  // the item's record; zeroed when it has none
    ustring working_directory;            // local_path + "/.VeltronaWorkingDirectory"
    ustring sign_directory;               // config_path + "/db/sign"
    ustring full_path;                    // local_path, + the event path unless it is "/"
    std::mutex mutex;

    void lock() { mutex.lock(); }
    void unlock() { mutex.unlock(); }
    // Empties the event (EV_EMPTY), the entry, the record and full_path.
    void clear();
  };

  // What one pass of the loop did (RunOnePass).
  enum PassOutcome {
    kPassIdle,        // nothing to do
    kPassSkipped,     // the event was finished or given back before processing
    kPassDone,        // processed and finished (action 0)
    kPassRetry,       // kept; tried again after the retry wait (action 1)
    kPassRedo,        // given back to the event manager (action 2)
    kPassUnexpected,  // an unexpected result, logged; kept and retried
  };

  // `env` must outlive the worker.
  explicit Worker(SyncEnv& env);
  ~Worker() override;

  // Pause and Stop raise the abort flag, then change the task state; Resume
  // clears last_error and the flag, then resumes; SetAbort sets the flag.
  int Pause() override;
  int Resume() override;
  int Stop() override;
  int SetAbort(bool abort) override;

  // Hands the worker the controller's pause record (see PauseType_T); null
  // withdraws it. The record must stay alive until the count reaches 0.
  void setPauseInstance(PauseType_T* instance);

  // For status queries: the current session, path and working type, and
  // the bytes sent and total of a file body in transfer (0 and 0 during any
  // other part of an exchange). Everything 0/empty/none while the task is
  // paused or stopped.
  void GetWorkingStatus(uint64_t& sess_id, ustring& path, WorkingType& type, uint64_t& sent,
                        uint64_t& total);

  void SetCurrentProcessEventInfo(uint64_t sess_id, const ustring& path, WorkingType type);
  void GetCurrentProcessEventInfo(ProcessEvent_T& out);
  void ClearCurrentProcessEventInfo();
  // From the context's event: cleared for expand and rescan events, else
  // its session and path with W_TYPE_NONE.
  void AdjustCurrentProcessEventInfo();

  // One pass of the loop without its waits (DoTask adds them). Tests drive
  // a worker with it from their own thread.
  PassOutcome RunOnePass();

  // The worker's session-relative working folder and recycle folder.
  static ustring WorkingRel();    // "/.VeltronaWorkingDirectory"
  static ustring RecycleBinRel();  // "/.VeltronaWorkingDirectory/#VeltRecycle"

 protected:
  void DoTask() override;

  // ===== core (worker_core.cc) =======================================

  // Loop steps. GetEvent: 0 with an event in the context, -1 when none.
  // UpdateContext: 0, or -1 when it already finished or gave back the
  // event (session gone or paused, filtered by a non-recursive session,
  // unsafe path, unusable session folder).
  int GetEvent();
  int UpdateContext();
  int ProcessEvent();
  // The action for `err` (0 done, 1 keep and retry, 2 redo, negative
  // unexpected), with the error table's reports.
  int HandleError(int err);
  // One line naming the event's item, the failure `err` and what `action`
  // makes of the event, at a level the default log table writes.
  void LogFailure(int err, int action);
  // 0 when finished; -1 when the event manager handed back a newer event
  // for the item, which is now in the context.
  int DoneEvent();
  void RedoEvent();
  void NotifyEvent(NotifyEventType type);
  void NotifyAbortDone();

  // Context accessors (copies).
  ClientFileEventInfo GetDatabaseInfo() const { return context.database_record; }
  ustring GetPath() const { return context.current_event.m_path; }
  ustring GetFullPath() const { return context.full_path; }
  ustring GetLocalWatch() const { return context.root_entry.local_path; }
  ustring GetRemoteWatch() const { return context.root_entry.remote_path; }
  ustring GetWorkingDirectory() const { return context.working_directory; }
  ustring GetSignDirectory() const { return context.sign_directory; }
  uint64_t GetViewId() const { return context.root_entry.view_id; }
  std::shared_ptr<FileEventDB> GetEventDatabase() const { return context.root_entry.event_db; }
  std::shared_ptr<BlackList2> GetBlackList() const { return context.root_entry.black_list; }
  std::shared_ptr<WhiteListCpp> GetWhiteList() const { return context.root_entry.white_list; }

  // Platform hooks with fixed answers on Linux.
  int UpdatePathInode(const ustring& /*path*/) { return 0; }
  int CheckFileByPlatform(const FILE_INFO& /*local*/) { return 0; }
  int UpdateMacAttribute(const ustring& /*path*/, const PObject& /*reply*/) { return 0; }
  bool CanMergeMacAttribute() const { return true; }
  bool CanMergeExecBit() const { return true; }

  // Sends `request` after a header with `command` and receives the reply
  // into `response` (binary members land in the working folder; keep-alive
  // objects are dropped and their binaries deleted). A `response` that
  // arrives pre-filled (a partial body to continue) is decoded into; a file
  // of it that the reply no longer names is deleted. 0 or a daemon code.
  int RunProtocol(Channel& ch, unsigned char command, const PObject& request, PObject& response);
  int ProtoUploadObject(Channel& ch, const PObject& request, PObject& response);
  int ProtoUploadFile(Channel& ch, const PObject& request, PObject& response);
  int ProtoUploadDirectory(Channel& ch, const PObject& request, PObject& response);
  int ProtoDownloadObject(Channel& ch, const PObject& request, PObject& response);
  int ProtoRemoveObject(Channel& ch, const PObject& request, PObject& response);

  // A PStream result as a daemon code (an abort gives
  // ERR_CH_CONNECTION_ABORT while pausing, ERR_INT otherwise).
  int streamErr2DaemonErr(int code);
  // A server error code as a daemon code; group 0xB ("try again") is
  // ERR_INT on every road.
  int ProtoResp2ErrorCode(uint64_t code);

  // Ends the transfer state: the cached request and reply (their received
  // files deleted) and the upload signature file.
  void ClearCache();
  // Deletes every received binary of `obj` that lies in the working folder
  // (files elsewhere are the user's), then empties `obj`.
  void ClearPObject(PObject& obj);
  // Deletes, as ClearPObject does, every file a binary of `from` names
  // that no binary of `kept` names. Neither object changes.
  void DropFilesNotIn(const PObject& from, const PObject& kept);

  // Shared helpers of the roads.
  // The request path: the entry's remote_path + `path` (`path` alone when
  // remote_path is "/").
  ustring RemotePath(const ustring& path) const;
  // "session", "view_id" and "_agent".
  void AddSessionKeys(PObject& request) const;
  // "sync_id" and "max_id" of `base` as the connected server's build wants.
  void AddBaseIds(PObject& request, const ClientFileEventInfo& base) const;
  // Takes a connection from the pool, establishes it, runs `exchange` on it
  // and gives it back: dropped after a failed exchange, otherwise updated
  // with `reply`'s "alive". `handshake_failed` tells which failed. ERR_IO
  // without a pool.
  int ExchangeOnConnection(const std::function<int(Channel&)>& exchange, const PObject& reply,
                           bool& handshake_failed);
  // The client name for conflict names (the pool's, else the host name).
  ustring ClientName() const;
  // Stats `path` through `fs`. A refusal (a symbolic link on the way, or
  // `path` itself a link) is logged with `where` and gives 1; other
  // failures give ERR_SYS; 0 otherwise.
  int StatLocal(const ustring& path, FILE_INFO& info, const char* where);

  // ===== download (worker_download.cc) ===============================

  int DownloadRemote();
  // 0 when the local object already equals the server's and only the record
  // was written; -1 otherwise.
  int MergeEvent();
  // 0 when the file was produced from an identical local copy (recycle
  // folder or elsewhere in the session); -1 otherwise.
  int PrepareFileFromLocal();
  int ProtoResumeDownloadObject(Channel& ch, PObject& request, PObject& response);
  // Empties every field of `record` except maxSyncID and execBit.
  static void ClearCommitInfo(ClientFileEventInfo& record);
  // 0 or -1.
  int CommitDatabaseDownload(const PObject& response, const ClientFileEventInfo& base,
                             const ustring& sign_file);
  int UpdateDatabaseInfo(const ClientFileEventInfo& record);
  // The record of a local object that already is the event's version
  // (MergeEvent, PrepareFileFromLocal): written, and the path's filtered
  // event dropped. 0 or -1.
  int CommitLocalVersion(uint32_t mtime, const ustring& sign_file);

  // ===== apply (worker_apply.cc) =====================================

  // Builds the new file of a file reply: `new_file` is the session-relative
  // path of the result (the item's own path when nothing is to be built).
  int PrepareDownloadFile(const PObject& reply, ustring& new_file, TempFile& sign_file);
  // 0, -100 (the final rename hit the path-length limit) or a daemon code.
  int ProcessDownloadFile(const PObject& reply, TempFile& sign_file);
  int ProcessDownloadDirectory(const PObject& reply);
  int UpdateAttribute(const ustring& path, const PObject& reply);
  void AdjustMtimeForMSDOS(PObject& reply);
  // 0 basis as recorded, 1 changed locally (conflict), 2 already equal to
  // the remote version, 3 recorded basis vanished, 253 checksum failed.
  int TestDownloadConflict(const FILE_INFO& local, const ClientFileEventInfo& base, const PObject& reply);
  int HandleDownloadConflict(const PObject& reply);
  int HandleDownloadPatchError(const PObject& reply);
  bool LocallyModified(const FILE_INFO& local, const ClientFileEventInfo& base, const ustring& hash);
  // Whole-file MD4 of `path`; 0 or -1.
  int CalculateMD4(const ustring& path, ustring& hash);
  // Reads the regular file `path` once (through `fs`), producing its MD4 in
  // `hash`, its signature in `sign_file` when given (created first when it
  // holds no file) and a copy into the open file `copy_fd` when that is not
  // negative. 0; -4 when aborted; -1 otherwise (the open failure logged).
  int ReadLocalFile(const ustring& path, ustring& hash, TempFile* sign_file, int copy_fd = -1);
  // Before the local folder `dir` is removed or replaced: moves every entry
  // below it that the database does not know as it is (no record, or a
  // record of another kind, size or time) into a conflict copy of the
  // folder beside it, named as ConflictRename names, with the same relative
  // paths, so that it stays in the session, and queues its upload (the
  // copy and all it holds). What is left in `dir` is what the database
  // knows. Returns the number of entries moved (0 when nothing needed it;
  // `copy`, when given, then names the copy), or ERR_SYS: then the caller
  // must not remove the folder. Used by the type change here and by the
  // removal road.
  int PreserveUnsyncedEntries(const ustring& dir, ustring* copy = nullptr);
  // Whether the local item at the event's path is still what the conflict
  // check saw (checked_local); logged when it is not. Called last before a
  // download is put in its place.
  bool LocalStillAsChecked();
  // Called once the conflict check has settled the local item and before
  // anything is put in its place. Does nothing; a test seam for a local
  // edit that lands meanwhile.
  virtual void OnDownloadConflictChecked(const ustring& /*path*/) {}

  // ===== upload (worker_upload.cc) ===================================

  int UploadLocal();
  bool IsUploadLocalFakeEvent(const FILE_INFO& local, const ClientFileEventInfo& base);
  // 1 when the name is acceptable, else 0 (renamed) or a daemon code.
  int TestBaseNameConflict(const ustring& name);
  int PrepareFileBlock(PObject& request, TempFile& sign_file);
  int PrepareMtime(const FILE_INFO& local, const ClientFileEventInfo& base, PObject& request);
  int PrepareMacAttrFile(const ClientFileEventInfo& base, PObject& request);
  int PrepareExecBit(const ClientFileEventInfo& base, PObject& request);
  bool IsUploadLocalFakeRequest(const PObject& request);
  int ProtoResumeUploadObject(Channel& ch, PObject& request, PObject& response);
  // 0 or -1.
  int CommitDatabaseUpload(const PObject& request, const PObject& response, const ClientFileEventInfo& base,
                           const ustring& sign_file);
  int CheckLocalModification(const PObject& response, const PObject& request);
  int PushRemoveEvent(const ustring& path, bool is_dir);
  // The result of an upload the server refused with `reply`'s error code.
  int HandleUploadError(const PObject& reply);
  // Queues the upload of `to`, which the local object `from` was renamed
  // to, and the server-side removal of `from` when it had a record.
  void QueueRenamedUpload(const ustring& from, const ustring& to);
  // A cached request whose body is the file itself gets a fresh descriptor
  // (upload_fd); ERR_INT (cache dropped) when the file changed meanwhile.
  int ReopenUploadBody(PObject& request);
  // Called after an upload's content was read and before the file is looked
  // at again. Does nothing; a test seam for a file that changes meanwhile.
  virtual void OnUploadContentRead(const ustring& /*path*/) {}

  // ===== removal (worker_remove.cc) ==================================

  int RemoveLocal();
  int RemoveRemote();
  int ProcessRenameRemoveLocal(const FILE_INFO& local);
  int ProcessRemoveLocal(const FILE_INFO& local);
  // 0 or -1.
  int RenameRemoveFile();
  int RenameRemoveDirectory();
  // Keeps `source` (session-relative, usually in the working folder) in the
  // recycle folder with a recycle-bin row. 0, or -1 (the source deleted).
  int moveFileToRecycleBin(const ustring& source, uint64_t size, const ustring& hash, const ustring& mac_hash);
  // The recycle folder's full path.
  ustring GetRecycleBinDir() const;
  // Removes the folder `path` (moved into the working folder first). 0/-1.
  int RemoveDirectoryW(const ustring& path);
  // 0 or -1.
  int RemoveDatabaseInfo();
  int ExpandDeleteEvent();
  int ExpandLocalDeleteEvent(const ustring& path);
  int ExpandServerDeleteEvent(const ustring& path, uint64_t sess_id, uint64_t sync_id);
  // Moves `rel` to a fresh name in the folder `into` (both session-relative;
  // `into` is created when missing); `name` gets the new name. 0 or the
  // SessionFs result.
  int MoveAside(const ustring& rel, const ustring& into, ustring& name);

  // ===== rescan (worker_rescan.cc) ===================================

  int Rescan();
  int Expand();
  int CompareFileList(const ustring& root, const FileList& local, const FileList& database, bool merge);
  int BuildLocalFileListWithoutResursive(const ustring& dir, FileList& list);
  void CreateDirSelfEvent();
  // Lists the tree below the folder `rel` into `list` (below directory
  // `index`) or, with `found`, as session paths, folders first. 0 or -1.
  int WalkLocalTree(const ustring& rel, FileList& list, int index,
                    std::vector<std::pair<std::string, bool>>* found);

  // ===== gates (worker_gates.cc) =====================================

  // 0 when the path passes, else the filter code that blocks it.
  int TestDirectory(const ustring& path, const ustring& full_path);
  int TestFilePath(const ustring& path, const ustring& full_path);
  int TestBlackListPath();
  int TestWhiteList();
  int TestCommonFilter();
  // 1 carry out, 0 filtered (the event is finished), or a daemon code.
  int TestDownloadRemoteFilter();
  int TestUploadLocalFilter();
  int TestRemoveRemoteFilter();
  int TestRemoveLocalFilter();
  int AddFilteredEventToDB(const Event& e, int filter_type);
  void ConvertToFilteredEvent(const Event& e, int filter_type, FilterLocalEvent& out);
  // 1 when the database-only item was merely filtered out by a
  // selective-sync path rule (then it is forgotten, never removed on the
  // server), else 0.
  int TestFilteredDeleteEvent(uint64_t sess_id, const ustring& path, bool is_dir);

  // ===== state ========================================================

  // Set at construction.
  SyncEnv& env;

  // Raised by Pause, Stop and SetAbort from other threads; the channel and
  // the readers of a transfer poll it.
  std::atomic<int> abort_flag{0};
  std::atomic<PauseType_T*> pause_instance{nullptr};

  // The worker thread's own.
  int last_error = 0;
  int sys_err_count = 0;
  time_t last_err_io_time = 0;
  unsigned patch_err_count = 0;
  NotifyEventType notify_event_type = NOTIFY_NONE;
  int notify_file_status = -1;
  EventContext context;
  SessionFs fs;  // the context's session root, opened by UpdateContext
  bool pass_redone = false;  // RedoEvent ran in this pass
  FILE_INFO checked_local;   // the local item as HandleDownloadConflict left it
  PObject cached_request;
  PObject cached_response;
  ustring upload_sign_file;
  PStream trans_stream;
  UniqueFd upload_fd;                            // the file an upload reads, while it does
  std::vector<Event>* rescan_removals = nullptr;  // set while a rescan collects its removals

  std::mutex worker_state_lock;
  ProcessEvent_T m_current_event;  // guarded by worker_state_lock
};

}  // namespace tidewell

#endif  // TIDEWELL_SYNC_WORKER_H_
