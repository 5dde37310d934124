#include "db/string_buffer.h"

#include <cstring>

namespace tidewell {

int StringBuffer::Intern(std::string_view name, String* out) {
  auto it = dic_.find(name);
  if (it != dic_.end()) {
    *out = *it;
    return 0;
  }
  Chunk* target = nullptr;
  for (int i = 0; i < used_; ++i) {
    if (chunk_[i].capacity - chunk_[i].offset >= name.size()) {
      target = &chunk_[i];
      break;
    }
  }
  if (target == nullptr) {
    if (used_ == kMaxChunks) return -1;
    size_t capacity = used_ == 0 ? kFirstChunk : chunk_[used_ - 1].capacity * 2;
    if (capacity < name.size() * 2) capacity = name.size() * 2;
    target = &chunk_[used_++];
    target->data = std::make_unique<char[]>(capacity);
    target->capacity = capacity;
    target->offset = 0;
  }
  char* stored = target->data.get() + target->offset;
  if (!name.empty()) std::memcpy(stored, name.data(), name.size());
  target->offset += name.size();
  String s(stored, name.size());
  dic_.insert(s);
  *out = s;
  return 0;
}

}  // namespace tidewell
