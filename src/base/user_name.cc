#include "base/user_name.h"

namespace tidewell {

bool ParsingByDelimiter(const ustring& text, ustring& first, ustring& second, char delimiter) {
  ustring::size_type at = text.rfind(delimiter);
  if (at == ustring::npos) return false;
  ustring before = text.substr(0, at);
  ustring after = text.substr(at + 1);  // empty when the delimiter is last
  first = before;
  second = after;
  return true;
}

void ParseUsrName(ustring& user, ustring& domain) {
  ustring name = user;  // `user` is also an output
  if (ParsingByDelimiter(name, domain, user, '/')) return;
  if (ParsingByDelimiter(name, domain, user, '\\')) return;
  domain.clear();
}

}  // namespace tidewell
