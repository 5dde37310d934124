#include "db/sql_template.h"

#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <string_view>

#include "base/log.h"

namespace tidewell {
namespace {

void AppendQuoted(std::string* out, const char* text, bool like) {
  if (text == nullptr) return;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '\'') {
      out->append("''");
      continue;
    }
    if (like && (*p == '%' || *p == '_' || *p == '\\')) out->push_back('\\');
    out->push_back(*p);
  }
}

}  // namespace

int VELTDBEscapeStringEX3(std::string* out, const char* format, ...) {
  if (out == nullptr || format == nullptr) {
    TW_LOG_ERROR("fstat_db_debug", "file-status-db", "Bad parameters.\n");
    return -1;
  }
  out->clear();
  out->reserve(4096);
  va_list args;
  va_start(args, format);
  bool escape_pending = false;  // a LVAR's closing quote is still to come
  std::string_view t(format);
  size_t i = 0;
  auto starts = [&](std::string_view marker) { return t.substr(i, marker.size()) == marker; };
  while (i < t.size()) {
    if (t[i] == '@') {
      if (starts("@VELT:VAR")) {
        AppendQuoted(out, va_arg(args, const char*), false);
        i += 9;
        continue;
      }
      if (starts("@VELT:LVAR")) {
        AppendQuoted(out, va_arg(args, const char*), true);
        escape_pending = true;
        i += 10;
        continue;
      }
      if (starts("@VELT:INT")) {
        out->append(std::to_string(va_arg(args, int)));
        i += 9;
        continue;
      }
      if (starts("@VELT:LLINT")) {
        out->append(std::to_string(va_arg(args, long long)));
        i += 11;
        continue;
      }
      if (starts("@VELT:NEVAR")) {
        const char* text = va_arg(args, const char*);
        if (text != nullptr) out->append(text);
        i += 11;
        continue;
      }
    }
    out->push_back(t[i]);
    if (t[i] == '\'' && escape_pending) {
      out->append(" escape '\\'");
      escape_pending = false;
    }
    ++i;
  }
  va_end(args);
  return 0;
}

}  // namespace tidewell
