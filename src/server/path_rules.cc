#include "server/path_rules.h"

#include <strings.h>

namespace tidewell::server {

namespace {

// True when `s` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool ValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t extra;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= s.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    static constexpr uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

bool NormalizePath(std::string_view in, std::string& out) {
  out.clear();
  out.reserve(in.size() + 1);
  size_t i = 0;
  while (i < in.size()) {
    while (i < in.size() && in[i] == '/') ++i;
    if (i == in.size()) break;
    size_t end = in.find('/', i);
    if (end == std::string_view::npos) end = in.size();
    std::string_view comp = in.substr(i, end - i);
    if (comp.size() > kMaxComponent || comp == "." || comp == ".." ||
        comp.find('\0') != std::string_view::npos || !ValidUtf8(comp)) {
      return false;
    }
    out += '/';
    out.append(comp);
    if (out.size() > kMaxPath) return false;
    i = end;
  }
  if (out.empty()) out = "/";
  return true;
}

std::string ParentOf(std::string_view path) {
  if (path.size() <= 1) return {};
  size_t slash = path.rfind('/');
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string_view NameOf(std::string_view path) {
  if (path.size() <= 1) return {};
  return path.substr(path.rfind('/') + 1);
}

std::vector<std::string> AncestorsOf(std::string_view path) {
  std::vector<std::string> out;
  if (path.size() <= 1) return out;
  out.emplace_back("/");
  for (size_t pos = path.find('/', 1); pos != std::string_view::npos; pos = path.find('/', pos + 1)) {
    out.emplace_back(path.substr(0, pos));
  }
  return out;
}

bool IsBelow(std::string_view path, std::string_view folder) {
  if (folder == "/") return path.size() > 1;
  return path.size() > folder.size() + 1 && path.substr(0, folder.size()) == folder && path[folder.size()] == '/';
}

std::string RelativeTo(std::string_view path, std::string_view folder) {
  if (folder == "/") return std::string(path);
  return std::string(path.substr(folder.size()));
}

std::string SubtreeLow(std::string_view folder) {
  if (folder == "/") return "/";
  return std::string(folder) + "/";
}

std::string SubtreeHigh(std::string_view folder) {
  // '0' is the byte after '/'.
  if (folder == "/") return "0";
  return std::string(folder) + "0";
}

std::string_view ExtensionOf(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

bool MatchesCondition(const PullCondition& cond, std::string_view rel, bool is_dir, uint64_t size) {
  if ((cond.has_extension || cond.has_name || cond.has_size) && is_dir) return false;
  std::string_view name = NameOf(rel);
  if (cond.has_extension && !EqualsNoCase(ExtensionOf(name), cond.extension)) return false;
  if (cond.has_name && !EqualsNoCase(name, cond.name)) return false;
  if (cond.has_prefix && cond.prefix != "/") {
    const std::string_view p = cond.prefix;
    if (rel.size() < p.size() || !EqualsNoCase(rel.substr(0, p.size()), p)) return false;
    if (rel.size() > p.size() && rel[p.size()] != '/') return false;
  }
  if (cond.has_size) {
    if (size <= cond.min_size) return false;
    if (cond.max_size != 0 && size > cond.max_size) return false;
  }
  return true;
}

}  // namespace tidewell::server
