#include "session/session_state.h"

namespace tidewell {

const char* SessionStateTable::StateName(State state) {
  switch (state) {
    case kOk:
      return "ok";
    case kPaused:
      return "paused";
    case kError:
      return "error";
    case kHeld:
      return "held";
  }
  return "ok";
}

SessionStateTable& SessionStateTable::getInstance() {
  static SessionStateTable table;
  return table;
}

void SessionStateTable::SetState(uint64_t sess_id, State state) {
  std::lock_guard<std::mutex> lock(mutex_);
  Status& s = table_[sess_id];
  s.state = state;
  if (state != kHeld) s.held_removals = 0;
}

void SessionStateTable::SetError(uint64_t sess_id, const ustring& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  Status& s = table_[sess_id];
  s.state = kError;
  s.last_error = text;
}

void SessionStateTable::SetHeld(uint64_t sess_id, uint64_t count, const ustring& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  Status& s = table_[sess_id];
  s.state = kHeld;
  s.held_removals = count;
  s.last_error = text;
}

void SessionStateTable::SetOk(uint64_t sess_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = table_.find(sess_id);
  if (it == table_.end()) return;
  if (it->second.state == kError) it->second.state = kOk;
}

int SessionStateTable::Get(uint64_t sess_id, Status& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = table_.find(sess_id);
  if (it == table_.end()) {
    out = Status();
    return 0;
  }
  out = it->second;
  return 1;
}

void SessionStateTable::Clear(uint64_t sess_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  table_.erase(sess_id);
}

void SessionStateTable::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  table_.clear();
}

}  // namespace tidewell
