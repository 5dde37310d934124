// Small RAII helpers over the SQLite C interface shared by the databases:
// owned statement texts from sqlite3_mprintf, prepared statements, and the
// escaping of literal text for GLOB and LIKE patterns.

#ifndef TIDEWELL_DB_SQLITE_UTIL_H_
#define TIDEWELL_DB_SQLITE_UTIL_H_

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace tidewell {

// A statement text made by sqlite3_vmprintf (so %q, %Q and %w quote), freed
// with sqlite3_free. get() is null when formatting ran out of memory.
class SqlText {
 public:
  // (No format checking: %q and %Q are unknown to the compiler, so the
  // argument types are the caller's care.)
  explicit SqlText(const char* format, ...);
  ~SqlText() { sqlite3_free(text_); }
  SqlText(const SqlText&) = delete;
  SqlText& operator=(const SqlText&) = delete;

  const char* get() const { return text_; }
  explicit operator bool() const { return text_ != nullptr; }

 private:
  char* text_;
};

// A prepared statement, finalised on destruction. Not thread-safe: use under
// the lock of the connection it belongs to.
class Statement {
 public:
  Statement() = default;
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Prepares `sql` on `db`, replacing any previous statement. `persistent`
  // hints that it will be reused many times. Returns the SQLite result code.
  int Prepare(sqlite3* db, const char* sql, bool persistent = false);
  void Reset();  // resets and clears the bindings
  void Finalize();

  sqlite3_stmt* get() const { return stmt_; }
  explicit operator bool() const { return stmt_ != nullptr; }

  // Bindings by 1-based index; texts are copied. Return SQLite result codes.
  int BindText(int index, std::string_view text);
  int BindInt64(int index, int64_t value);
  int BindUint64(int index, uint64_t value) { return BindInt64(index, static_cast<int64_t>(value)); }

  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return sqlite3_step(stmt_); }

  // Column readers; a NULL text reads as "".
  int64_t ColumnInt64(int col) const { return sqlite3_column_int64(stmt_, col); }
  uint64_t ColumnUint64(int col) const { return static_cast<uint64_t>(ColumnInt64(col)); }
  std::string_view ColumnText(int col) const;

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// `text` with the GLOB metacharacters "*", "?" and "[" each wrapped in
// brackets, so that it matches only itself inside a GLOB pattern.
std::string GlobEscape(std::string_view text);

// `text` with "%", "_" and `escape` each preceded by `escape`, for a LIKE
// pattern used with "ESCAPE '<escape>'".
std::string LikeEscape(std::string_view text, char escape = '\\');

}  // namespace tidewell

#endif  // TIDEWELL_DB_SQLITE_UTIL_H_
