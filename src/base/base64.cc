#include "base/base64.h"

#include <cstring>

namespace tidewell {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The 6-bit value of an alphabet character, or -1.
int ValueOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

char CBase64Table(unsigned value) { return kAlphabet[value & 0x3F]; }

std::string SzBase64EncBuf(const void* buffer, size_t length, bool stop_at_zero) {
  std::string out;
  if (buffer == nullptr) return out;
  const auto* in = static_cast<const unsigned char*>(buffer);
  if (stop_at_zero) {
    const void* zero = memchr(in, 0, length);
    if (zero != nullptr) length = static_cast<size_t>(static_cast<const unsigned char*>(zero) - in);
  }
  out.reserve((length + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    unsigned v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
    out += CBase64Table(v >> 18);
    out += CBase64Table(v >> 12);
    out += CBase64Table(v >> 6);
    out += CBase64Table(v);
  }
  if (length - i == 1) {
    unsigned v = in[i] << 16;
    out += CBase64Table(v >> 18);
    out += CBase64Table(v >> 12);
    out += "==";
  } else if (length - i == 2) {
    unsigned v = (in[i] << 16) | (in[i + 1] << 8);
    out += CBase64Table(v >> 18);
    out += CBase64Table(v >> 12);
    out += CBase64Table(v >> 6);
    out += '=';
  }
  return out;
}

std::string SzBase64EncBuffer(const void* buffer, size_t length) {
  return SzBase64EncBuf(buffer, length, false);
}

std::string SzBase64EncOneLine(const void* buffer, size_t length) {
  return SzBase64EncBuf(buffer, length, true);
}

bool EncBase64Dec(const char* in, size_t inlen, unsigned char* out, size_t* outlen) {
  size_t capacity = *outlen;
  size_t written = 0;
  *outlen = 0;
  if (inlen == 0) return true;
  if (in == nullptr || out == nullptr) return false;
  for (size_t pos = 0; pos < inlen; pos += 4) {
    size_t group = inlen - pos < 4 ? inlen - pos : 4;
    bool last = pos + group == inlen;
    if (group == 1) return false;
    int v[4] = {0, 0, 0, 0};
    size_t chars = 0;  // alphabet characters in this group
    for (size_t k = 0; k < group; ++k) {
      char c = in[pos + k];
      if (c == '=') {
        // Padding only in the third and fourth place of the last group,
        // and nothing but padding after it.
        if (!last || group != 4 || k < 2) return false;
        if (k == 2 && in[pos + 3] != '=') return false;
        break;
      }
      v[k] = ValueOf(c);
      if (v[k] < 0) return false;
      ++chars;
    }
    unsigned char bytes[3] = {
        static_cast<unsigned char>((v[0] << 2) | (v[1] >> 4)),
        static_cast<unsigned char>(((v[1] & 0x0F) << 4) | (v[2] >> 2)),
        static_cast<unsigned char>(((v[2] & 0x03) << 6) | v[3]),
    };
    for (size_t b = 0; b + 1 < chars; ++b) {
      if (written == capacity) {
        *outlen = written;
        return false;
      }
      out[written++] = bytes[b];
    }
  }
  *outlen = written;
  return true;
}

}  // namespace tidewell
