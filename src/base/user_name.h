// Splitting user names that carry a domain ("CORP\alice", "corp/alice").
// Pure functions; thread-safe.

#ifndef TIDEWELL_BASE_USER_NAME_H_
#define TIDEWELL_BASE_USER_NAME_H_

#include "base/ustring.h"

namespace tidewell {

// Splits `text` at the last `delimiter`: `first` gets what is before it,
// `second` what is after it (empty when the delimiter ends the text).
// True when the delimiter was found; otherwise the outputs are unchanged.
bool ParsingByDelimiter(const ustring& text, ustring& first, ustring& second, char delimiter);

// Splits `user` in place at its last "/", or, when it has none, at its last
// "\\": `domain` gets the part before, `user` the part after. Without either
// separator `domain` becomes empty and `user` stays.
void ParseUsrName(ustring& user, ustring& domain);

}  // namespace tidewell

#endif  // TIDEWELL_BASE_USER_NAME_H_
