#include "db/sqlite_util.h"

#include <cstdarg>

namespace tidewell {

SqlText::SqlText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  text_ = sqlite3_vmprintf(format, args);
  va_end(args);
}

int Statement::Prepare(sqlite3* db, const char* sql, bool persistent) {
  Finalize();
  return sqlite3_prepare_v3(db, sql, -1, persistent ? SQLITE_PREPARE_PERSISTENT : 0, &stmt_,
                            nullptr);
}

void Statement::Reset() {
  if (stmt_ == nullptr) return;
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

void Statement::Finalize() {
  sqlite3_finalize(stmt_);
  stmt_ = nullptr;
}

int Statement::BindText(int index, std::string_view text) {
  // A null pointer would bind NULL; an empty text must stay a text.
  const char* p = text.data() != nullptr ? text.data() : "";
  return sqlite3_bind_text64(stmt_, index, p, text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

int Statement::BindInt64(int index, int64_t value) {
  return sqlite3_bind_int64(stmt_, index, value);
}

std::string_view Statement::ColumnText(int col) const {
  const unsigned char* p = sqlite3_column_text(stmt_, col);
  if (p == nullptr) return {};
  return std::string_view(reinterpret_cast<const char*>(p),
                          static_cast<size_t>(sqlite3_column_bytes(stmt_, col)));
}

std::string GlobEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '*' || c == '?' || c == '[') {
      out.push_back('[');
      out.push_back(c);
      out.push_back(']');
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string LikeEscape(std::string_view text, char escape) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '%' || c == '_' || c == escape) out.push_back(escape);
    out.push_back(c);
  }
  return out;
}

}  // namespace tidewell
