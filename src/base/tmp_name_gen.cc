#include "base/tmp_name_gen.h"

#include <time.h>

#include <cstdio>
#include <cstring>
#include <utility>

namespace tidewell {

namespace {

constexpr char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";

std::string ClockKey() {
  struct timespec ts = {};
  clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
  unsigned long long ns = static_cast<unsigned long long>(ts.tv_sec) * 1000000000ull +
                          static_cast<unsigned long long>(ts.tv_nsec);
  char text[32];
  snprintf(text, sizeof text, "%llu", ns);
  return text;
}

}  // namespace

TmpNameGen& TmpNameGen::getInstance() {
  static TmpNameGen instance(ClockKey());
  return instance;
}

TmpNameGen::TmpNameGen(std::string_view key) {
  std::lock_guard<std::mutex> lock(mutex_);
  memset(m_key, 0, sizeof m_key);
  memcpy(m_key, key.data(), key.size() < sizeof m_key ? key.size() : sizeof m_key);
  memset(m_buffer, 0, sizeof m_buffer);
  ScheduleKeyLocked();
}

void TmpNameGen::ScheduleKeyLocked() {
  for (int i = 0; i < 256; ++i) m_s_box[i] = static_cast<unsigned char>(i);
  unsigned j = 0;
  for (int i = 0; i < 256; ++i) {
    j = (j + m_s_box[i] + m_key[i]) & 0xFF;
    std::swap(m_s_box[i], m_s_box[j]);
  }
}

ustring TmpNameGen::getTmpName(const ustring& dir) {
  char name[9];
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Each draw restarts the counters; the permutation carries over.
    unsigned j = 0;
    for (unsigned k = 0; k < sizeof m_buffer; ++k) {
      unsigned i = k + 1;
      j = (j + m_s_box[i]) & 0xFF;
      std::swap(m_s_box[i], m_s_box[j]);
      m_buffer[k] = m_s_box[(m_s_box[i] + m_s_box[j]) & 0xFF];
    }
    // 48 bits as eight 6-bit groups, most significant first.
    unsigned long long bits = 0;
    for (unsigned char b : m_buffer) bits = (bits << 8) | b;
    for (int g = 0; g < 8; ++g) name[g] = kAlphabet[(bits >> (42 - 6 * g)) & 0x3F];
  }
  name[8] = '\0';
  ustring out = dir;
  out += '/';
  out += name;
  return out;
}

}  // namespace tidewell
