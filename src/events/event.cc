#include "events/event.h"

#include <string>

namespace tidewell {

const char* Event::TypeName(Type type) {
  switch (type) {
    case EV_EMPTY: return "EV_EMPTY";
    case EV_CREATE: return "EV_ADD";
    case EV_REMOVE: return "EV_REMOVE";
    case EV_MODIFY: return "EV_MODIFY";
    case EV_RENAME: return "EV_RENAME";
  }
  return "EV_UNKNOWN";
}

ustring Event::toString() const {
  std::string s = "Event<";
  s += TypeName(m_type);
  if (m_type == EV_RENAME) {
    s += ">: from '";
    s += m_path.utf8_view();
    s += "', to '";
    s += m_opt.utf8_view();
    s += "'";
    return ustring(s);
  }
  s += ">: [";
  s += std::to_string(m_sync_id);
  s += "] ";
  s += m_path.utf8_view();
  s += IsServerEvent() ? " (server" : " (local";
  s += IsDir() ? ",dir" : ",file";
  if (IsExpand()) s += ",expand";
  s += ")";
  if (IsFile()) {
    s += " size = ";
    s += std::to_string(m_data_size);
    s += ", hash = ";
    s += m_data_hash.utf8_view();
  }
  return ustring(s);
}

}  // namespace tidewell
