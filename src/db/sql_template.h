// Statement templates with typed markers, filled with quoting suited to
// each argument. Used by the file status database.
//
//   "@VELT:VAR"   text, SQL-quoted (single quotes doubled)
//   "@VELT:LVAR"  text for a LIKE pattern: SQL-quoted, then "%", "_" and
//                 "\" each preceded by "\"; the next single quote of the
//                 template is followed by " escape '\'"
//   "@VELT:INT"   int, decimal
//   "@VELT:LLINT" 64-bit int, decimal
//   "@VELT:NEVAR" text, inserted unchanged (only for trusted text)
//
// Text arguments are const char* (null reads as empty). Any other "@" and
// every other character of the template is copied.

#ifndef TIDEWELL_DB_SQL_TEMPLATE_H_
#define TIDEWELL_DB_SQL_TEMPLATE_H_

#include <string>

namespace tidewell {

// Fills `format` with the arguments into `out`. 0, or -1 for a null format
// or null `out` (logged "Bad parameters.").
int VELTDBEscapeStringEX3(std::string* out, const char* format, ...);

}  // namespace tidewell

#endif  // TIDEWELL_DB_SQL_TEMPLATE_H_
