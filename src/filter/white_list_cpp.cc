#include "filter/white_list_cpp.h"

#include <utility>

namespace tidewell {

WhiteListCpp::WhiteListCpp() { white_list_init(&list); }

WhiteListCpp::~WhiteListCpp() { white_list_destroy(&list); }

int WhiteListCpp::Load(const ustring& file) {
  WhiteList fresh;
  white_list_init(&fresh);
  int rc = white_list_read(&fresh, file.c_str_utf8());
  std::lock_guard<std::mutex> guard(lock);
  std::swap(list, fresh);
  white_list_destroy(&fresh);
  return rc == 0 ? 0 : -1;
}

void WhiteListCpp::Clear() {
  std::lock_guard<std::mutex> guard(lock);
  white_list_destroy(&list);
}

int WhiteListCpp::Test(const ustring& name) const {
  std::lock_guard<std::mutex> guard(lock);
  return white_list_test(&list, name.c_str_utf8());
}

}  // namespace tidewell
