// WhiteListCpp: a white-list record (white_list.h) with a lock, one per
// session, loaded from "whitelist.filter".
//
// Thread-safe: Load reads the file before taking the lock and swaps the new
// list in; Test holds the lock while it looks.

#ifndef TIDEWELL_FILTER_WHITE_LIST_CPP_H_
#define TIDEWELL_FILTER_WHITE_LIST_CPP_H_

#include <mutex>

#include "base/ustring.h"
#include "filter/white_list.h"

namespace tidewell {

class WhiteListCpp {
 public:
  WhiteListCpp();
  ~WhiteListCpp();
  WhiteListCpp(const WhiteListCpp&) = delete;
  WhiteListCpp& operator=(const WhiteListCpp&) = delete;

  // Replaces the list by that of `file`. 0; -1 when the file is missing or
  // broken, and the list is then empty (it allows no name).
  [[nodiscard]] int Load(const ustring& file);
  void Clear();
  // 0 when `name` (a last path component) is allowed, -1 otherwise.
  int Test(const ustring& name) const;

 private:
  mutable std::mutex lock;
  WhiteList list;  // guarded by lock
};

}  // namespace tidewell

#endif  // TIDEWELL_FILTER_WHITE_LIST_CPP_H_
