#include "filter/value_type.h"

#include <cstdlib>
#include <cstring>

namespace tidewell {
namespace {

// malloc'd copy of `len` bytes plus a terminator, or null.
char* CopyBytes(const char* text, size_t len) {
  char* copy = static_cast<char*>(std::malloc(len + 1));
  if (copy == nullptr) return nullptr;
  if (len > 0) std::memcpy(copy, text, len);
  copy[len] = '\0';
  return copy;
}

}  // namespace

void value_type_string_init(value_type_string* s) { s->str = nullptr; }

int value_type_string_set_value(value_type_string* s, const char* text, size_t len) {
  char* copy = CopyBytes(text, len);
  if (copy == nullptr) return -1;
  std::free(s->str);
  s->str = copy;
  return 0;
}

void value_type_string_destroy(value_type_string* s) {
  std::free(s->str);
  s->str = nullptr;
}

int value_type_string_set_init(value_type_string_set* s, size_t capacity) {
  if (capacity == 0) capacity = 4;
  s->used = 0;
  s->set = static_cast<char**>(std::calloc(capacity, sizeof(char*)));
  s->capacity = s->set == nullptr ? 0 : capacity;
  return s->set == nullptr ? -1 : 0;
}

int value_type_string_set_insert(value_type_string_set* s, const char* text, size_t len) {
  if (s->used == s->capacity) {
    size_t grown = s->capacity == 0 ? 4 : s->capacity * 2;
    void* p = std::realloc(s->set, grown * sizeof(char*));
    if (p == nullptr) return -1;
    s->set = static_cast<char**>(p);
    s->capacity = grown;
  }
  char* copy = CopyBytes(text, len);
  if (copy == nullptr) return -1;
  s->set[s->used++] = copy;
  return 0;
}

int value_type_string_set_remove(value_type_string_set* s, const char* text) {
  for (size_t i = 0; i < s->used; ++i) {
    if (std::strcmp(s->set[i], text) == 0) {
      std::free(s->set[i]);
      s->set[i] = s->set[s->used - 1];
      s->set[--s->used] = nullptr;
      return 0;
    }
  }
  return -1;
}

void value_type_string_set_destroy(value_type_string_set* s) {
  for (size_t i = 0; i < s->used; ++i) std::free(s->set[i]);
  std::free(s->set);
  s->set = nullptr;
  s->used = 0;
  s->capacity = 0;
}

}  // namespace tidewell
