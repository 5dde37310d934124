#include "events/event_notice.h"

namespace tidewell {

UI_IPC::FileItem NoticeItem(const Event& e) {
  UI_IPC::FileItem item;
  item.sess_id = e.m_sess_id;
  item.path = e.m_path;
  item.is_dir = e.IsDir();
  item.event_type = static_cast<int>(e.m_type);
  return item;
}

}  // namespace tidewell
