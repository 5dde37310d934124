#include "db/selective_sync.h"

#include <string>
#include <string_view>

#include "base/log.h"
#include "db/db_log.h"
#include "db/file_event_db.h"
#include "db/filter_db.h"
#include "db/progress_cache.h"
#include "platform/file_remove.h"
#include "platform/file_stat.h"

namespace tidewell {
namespace {

using ull = unsigned long long;

constexpr int kPathPrefixType = -13;  // FILTER_PATH_PREFIX_SELECTIVE_SYNC
constexpr int kSizeType = -15;        // FILTER_FILE_SIZE_SELECTIVE_SYNC

void AddAll(const value_type_string_set& set, uint64_t sync_id, std::set<FilterInfo>& out) {
  for (size_t i = 0; i < set.used; ++i) out.insert(FilterInfo{sync_id, ustring(set.set[i])});
}

// Reads an unsigned decimal that fills the whole of `text`.
bool ParseDecimal(std::string_view text, uint64_t& value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  value = v;
  return true;
}

// A size rule's limit; an empty or unreadable description is no limit.
uint64_t SizeOf(const FilterInfo& info) {
  uint64_t v = 0;
  return ParseDecimal(info.filter_desc.utf8_view(), v) ? v : 0;
}

// Why a path-prefix rule cannot be taken, or null when it names a folder
// below the session root: it must begin with "/", have at least one
// component, none of them "." or "..", and no existing component may be a
// symbolic link (acting on it would reach outside the root).
const char* PathRuleProblem(const ustring& sync_folder, std::string_view rule) {
  if (rule.empty() || rule.front() != '/') return "it does not begin with \"/\"";
  bool has_component = false;
  std::string walked(sync_folder.utf8_view());
  bool exists = true;
  size_t pos = 1;
  while (pos <= rule.size()) {
    size_t end = rule.find('/', pos);
    if (end == std::string_view::npos) end = rule.size();
    std::string_view part = rule.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty()) continue;
    if (part == "." || part == "..") return "it names \".\" or \"..\"";
    has_component = true;
    if (!exists) continue;
    walked += "/";
    walked += part;
    _FILE_INFO_tag info;
    if (FSStat(ustring(walked), info, false) != 0) return "its folder cannot be looked at";
    if (!info.isExist) {
      exists = false;
    } else if (info.type == FT_SLINK) {
      return "it passes through a symbolic link";
    }
  }
  if (!has_component) return "it names the session root itself";
  return nullptr;
}

// The session path a rule names, with empty components dropped ("/a//b/"
// is "/a/b"); the rule was checked by PathRuleProblem.
ustring RulePath(std::string_view rule) {
  std::string out;
  size_t pos = 0;
  while (pos < rule.size()) {
    size_t end = rule.find('/', pos);
    if (end == std::string_view::npos) end = rule.size();
    if (end > pos) {
      out += '/';
      out += rule.substr(pos, end - pos);
    }
    pos = end + 1;
  }
  return ustring(out);
}

// True when the folder is gone from the sync folder: moved to the trash,
// or not there at all.
bool RemoveExcludedFolder(uint64_t sess_id, const ustring& sync_folder, const ustring& rule) {
  ustring path = sync_folder + rule;
  FU_LOG(INFO, "Remove dir (%llu)[%s].\n", ull{sess_id}, path.c_str_utf8());
  // To the trash, not deleted for good: the folder may hold local changes
  // that were never uploaded.
  if (FSRemove(path, true) != 0) {
    FU_LOG(ERROR, "Failed to remove path '%s'\n", path.c_str_utf8());
    return false;
  }
  return true;
}

}  // namespace

int ConvertFilterFileToSelectiveSyncInfo(uint64_t, uint64_t sync_id, const Filter& filter,
                                         SelectiveSyncInfo& info) {
  AddAll(filter.common.black_path_prefix_selective_sync, sync_id, info.black_prefix);
  AddAll(filter.file.black_name_selective_sync, sync_id, info.black_name);
  AddAll(filter.file.black_ext_selective_sync, sync_id, info.black_ext);
  info.black_size.sync_id = sync_id;
  info.black_size.filter_desc = ustring(std::to_string(filter.file.max_size_selective_sync));
  return 0;
}

int CompareFilterList(uint64_t sess_id, int filter_type, const std::set<FilterInfo>& db_set,
                      const std::set<FilterInfo>& file_set, const ustring& sync_folder, FileEventDB* event_db) {
  FilterDB& db = FilterDB::getInstance();
  auto d = db_set.begin();
  auto f = file_set.begin();
  while (d != db_set.end() || f != file_set.end()) {
    if (d != db_set.end() && f != file_set.end() && d->filter_desc == f->filter_desc) {
      FU_LOG(INFO, "filter: (%llu)[%s] didn't change, skipping...\n", ull{sess_id},
             d->filter_desc.c_str_utf8());
      ++d;
      ++f;
    } else if (f == file_set.end() || (d != db_set.end() && d->filter_desc < f->filter_desc)) {
      // The rule was removed: what it kept out must now come in.
      ResumeCondition cond{sess_id, d->sync_id, filter_type, d->filter_desc};
      uint64_t row_id = 0;
      if (db.setResumeCondition(cond, row_id) != 0) {
        FU_LOG(ERROR, "Failed to setResumeCondition (%llu)[%s].\n", ull{sess_id},
               d->filter_desc.c_str_utf8());
        return -1;
      }
      ProgressCache::getInstance().addProgressEntry(row_id, cond);
      if (db.rmFilter(sess_id, filter_type, d->filter_desc) != 0) {
        FU_LOG(ERROR, "Failed to rmFilter (%llu)[%s].\n", ull{sess_id}, d->filter_desc.c_str_utf8());
        return -1;
      }
      FU_LOG(INFO, "RESUME filter: (%llu)[%s].\n", ull{sess_id}, d->filter_desc.c_str_utf8());
      ++d;
    } else {
      if (filter_type == kPathPrefixType) {
        if (const char* why = PathRuleProblem(sync_folder, f->filter_desc.utf8_view())) {
          // Taking it would exclude or delete something else than the
          // user meant; nothing is stored and nothing deleted for it.
          FU_LOG(ERROR, "Refused selective-sync path rule (%llu)[%s]: %s.\n", ull{sess_id},
                 f->filter_desc.c_str_utf8(), why);
          ++f;
          continue;
        }
      }
      uint64_t sync_id = filter_type == kPathPrefixType ? 0 : f->sync_id;
      if (db.setFilter(sess_id, sync_id, filter_type, f->filter_desc) != 0) {
        FU_LOG(ERROR, "Failed to setFilter (%llu)[%s].\n", ull{sess_id}, f->filter_desc.c_str_utf8());
        return -1;
      }
      if (filter_type == kPathPrefixType && RemoveExcludedFolder(sess_id, sync_folder, f->filter_desc) &&
          event_db != nullptr) {
        // What the folder held is no longer here by the rule's doing, not
        // the user's: no record may be read as its local deletion later.
        const ustring path = RulePath(f->filter_desc.utf8_view());
        if (event_db->rmEventInfoV3(path) != 0) {
          FU_LOG(ERROR, "Failed to forget the records below (%llu)[%s].\n", ull{sess_id}, path.c_str_utf8());
          return -1;
        }
      }
      FU_LOG(INFO, "NEW filter: (%llu)[%s].\n", ull{sess_id}, f->filter_desc.c_str_utf8());
      ++f;
    }
  }
  return 0;
}

int CompareSizeFilter(uint64_t sess_id, const FilterInfo& db_info, const FilterInfo& file_info) {
  FilterDB& db = FilterDB::getInstance();
  uint64_t stored = SizeOf(db_info);
  uint64_t wanted = SizeOf(file_info);
  if (stored == 0 && db_info.sync_id == 0) {
    if (wanted != 0 && db.setSizeFilter(sess_id, file_info.sync_id, wanted) != 0) {
      FU_LOG(ERROR, "Failed to setSizeFilter (%llu)[%llu]\n", ull{sess_id}, ull{wanted});
      return -1;
    }
    return 0;
  }
  // No limit is recorded as the default limit; once that is stored, a file
  // still without a limit is no change either.
  uint64_t effective = wanted == 0 ? kDefaultSizeFilterLimit : wanted;
  if (stored == wanted || stored == effective) {
    FU_LOG(INFO, "size filter (%llu)[%s] didn't change, skipping...\n", ull{sess_id},
           file_info.filter_desc.c_str_utf8());
    return 0;
  }
  if (wanted != 0 && wanted < stored) {
    if (db.updateSizeFilter(sess_id, stored, wanted) != 0) {
      FU_LOG(ERROR, "Failed to updateSizeFilter (%llu)[%s]\n", ull{sess_id},
             file_info.filter_desc.c_str_utf8());
      return -1;
    }
    FU_LOG(INFO, "size filter is more stringent, just update DB (%llu)from %llu to %llu. \n",
           ull{sess_id}, ull{stored}, ull{wanted});
    return 0;
  }
  ResumeCondition cond{sess_id, db_info.sync_id, kSizeType, EncodeResumeSizeFilterDesc(stored, effective)};
  uint64_t row_id = 0;
  if (db.setResumeCondition(cond, row_id) != 0) {
    FU_LOG(ERROR, "Failed to setResumeCondition (%llu)[%s]\n", ull{sess_id},
           cond.filter_desc.c_str_utf8());
    return -1;
  }
  ProgressCache::getInstance().addProgressEntry(row_id, cond);
  if (db.updateSizeFilter(sess_id, stored, effective) != 0) {
    FU_LOG(ERROR, "Failed to updateSizeFilter (%llu)from [%llu] to [%llu].\n", ull{sess_id},
           ull{stored}, ull{effective});
    return -1;
  }
  FU_LOG(INFO, "size filter is more loosely, update DB and resume (%llu)[%s].\n", ull{sess_id},
         cond.filter_desc.c_str_utf8());
  return 0;
}

ustring EncodeResumeSizeFilterDesc(uint64_t from, uint64_t to) {
  return ustring("from=" + std::to_string(from) + ",to=" + std::to_string(to));
}

int DecodeResumeSizeFilterDesc(const ustring& desc, uint64_t& from, uint64_t& to) {
  std::string_view text = desc.utf8_view();
  constexpr std::string_view kFrom = "from=";
  constexpr std::string_view kTo = ",to=";
  if (text.substr(0, kFrom.size()) != kFrom) return -1;
  text.remove_prefix(kFrom.size());
  size_t sep = text.find(kTo);
  if (sep == std::string_view::npos) return -1;
  uint64_t f = 0, t = 0;
  if (!ParseDecimal(text.substr(0, sep), f) || !ParseDecimal(text.substr(sep + kTo.size()), t)) {
    return -1;
  }
  from = f;
  to = t;
  return 0;
}

}  // namespace tidewell
