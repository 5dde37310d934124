#include "net/pobject.h"

#include <cinttypes>
#include <cstdio>
#include <iterator>
#include <utility>

namespace tidewell {

const PObject PObject::empty_object;
const PObject::array_type PObject::empty_array;
const PObject::map_type PObject::empty_map;
const PObject::binary_type PObject::empty_binary;

void PObject::binary_type::clear() {
  offset = 0;
  length = 0;
  path.clear();
}

bool PObject::binary_type::operator==(const binary_type& other) const {
  return offset == other.offset && length == other.length && path == other.path;
}

PObject::PObject(const char* s) {
  u_.str = new ustring(s);
  type_ = kString;
}

PObject::PObject(const std::string& s) {
  u_.str = new ustring(s);
  type_ = kString;
}

PObject::PObject(const ustring& s) {
  u_.str = new ustring(s);
  type_ = kString;
}

PObject::PObject(const binary_type& b) {
  u_.bin = new binary_type(b);
  type_ = kBinary;
}

PObject::PObject(const map_type& m) {
  u_.map = new map_type(m);
  type_ = kMap;
}

PObject::PObject(const array_type& a) {
  u_.arr = new array_type(a);
  type_ = kArray;
}

PObject::PObject(const PObject& other) { copy(other); }

PObject& PObject::operator=(const PObject& other) {
  if (this != &other) {
    PObject tmp(other);  // copies first: `other` may live inside this object
    swap(tmp);
  }
  return *this;
}

PObject& PObject::operator=(PObject&& other) noexcept {
  if (this != &other) {
    PObject tmp(std::move(other));
    swap(tmp);
  }
  return *this;
}

void PObject::copy(const PObject& other) {
  if (this == &other) return;
  PObject tmp;
  switch (other.type_) {
    case kNull:
      break;
    case kInteger:
      tmp.set_integer(other.u_.integer);
      break;
    case kString:
      tmp = PObject(*other.u_.str);
      break;
    case kBinary:
      tmp = PObject(*other.u_.bin);
      break;
    case kArray:
      tmp = PObject(*other.u_.arr);
      break;
    case kMap:
      tmp = PObject(*other.u_.map);
      break;
  }
  swap(tmp);
}

void PObject::clear() {
  switch (type_) {
    case kNull:
    case kInteger:
      break;
    case kString:
      delete u_.str;
      break;
    case kBinary:
      delete u_.bin;
      break;
    case kArray:
      delete u_.arr;
      break;
    case kMap:
      delete u_.map;
      break;
  }
  type_ = kNull;
  u_.integer = 0;
}

void PObject::swap(PObject& other) noexcept {
  std::swap(type_, other.type_);
  std::swap(u_, other.u_);
}

ustring PObject::asString() const {
  if (isString()) return *u_.str;
  if (isInteger()) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u", static_cast<unsigned>(u_.integer & 0xFFFFFFFFu));
    return ustring(buf);
  }
  return ustring();
}

const ustring& PObject::asStringRef() const {
  static const ustring kEmpty;
  return isString() ? *u_.str : kEmpty;
}

bool PObject::isEmpty() const {
  switch (type_) {
    case kNull:
      return true;
    case kInteger:
      return false;
    case kString:
      return u_.str->empty();
    case kBinary:
      return u_.bin->empty();
    case kArray:
      return u_.arr->empty();
    case kMap:
      return u_.map->empty();
  }
  return true;
}

bool PObject::hasMember(const ustring& key) const { return isMap() && u_.map->count(key) != 0; }

size_t PObject::size() const {
  if (isArray()) return u_.arr->size();
  if (isMap()) return u_.map->size();
  return 0;
}

const PObject& PObject::operator[](const ustring& key) const {
  if (!isMap()) return empty_object;
  auto it = u_.map->find(key);
  return it == u_.map->end() ? empty_object : it->second;
}

const PObject& PObject::at_index(uint64_t index) const {
  if (isArray()) return index < u_.arr->size() ? (*u_.arr)[index] : empty_object;
  if (isMap() && index < u_.map->size()) {
    return std::next(u_.map->begin(), static_cast<std::ptrdiff_t>(index))->second;
  }
  return empty_object;
}

PObject::map_type& PObject::asMap() {
  if (!isMap()) {
    clear();
    u_.map = new map_type();
    type_ = kMap;
  }
  return *u_.map;
}

PObject::array_type& PObject::asArray() {
  if (!isArray()) {
    clear();
    u_.arr = new array_type();
    type_ = kArray;
  }
  return *u_.arr;
}

PObject::binary_type& PObject::asBinary() {
  if (!isBinary()) {
    clear();
    u_.bin = new binary_type();
    type_ = kBinary;
  }
  return *u_.bin;
}

PObject& PObject::operator[](const ustring& key) { return asMap()[key]; }

PObject& PObject::mutable_at_index(uint64_t index) {
  if (!isMap() || index >= u_.map->size()) throw std::out_of_range("out_of_range: PObject::operator[]");
  return std::next(u_.map->begin(), static_cast<std::ptrdiff_t>(index))->second;
}

void PObject::append_text(std::string& out) const {
  switch (type_) {
    case kNull:
      out += "null";
      break;
    case kInteger:
      out += std::to_string(u_.integer);
      break;
    case kString:
      out += '"';
      out.append(u_.str->utf8_view());
      out += '"';
      break;
    case kBinary:
      out += "{offset: " + std::to_string(u_.bin->offset) + ", length: " + std::to_string(u_.bin->length) +
             ", path: \"";
      out.append(u_.bin->path.utf8_view());
      out += "\"}";
      break;
    case kArray: {
      out += '[';
      const char* sep = "";
      for (const PObject& v : *u_.arr) {
        out += sep;
        v.append_text(out);
        sep = ", ";
      }
      out += ']';
      break;
    }
    case kMap: {
      out += '{';
      const char* sep = "";
      for (const auto& [k, v] : *u_.map) {
        out += sep;
        out += '"';
        out.append(k.utf8_view());
        out += "\": ";
        v.append_text(out);
        sep = ", ";
      }
      out += '}';
      break;
    }
  }
}

ustring PObject::toString() const {
  std::string out;
  append_text(out);
  return ustring(out);
}

bool PObject::operator==(const PObject& other) const {
  if (type_ != other.type_) return false;
  switch (type_) {
    case kNull:
      return true;
    case kInteger:
      return u_.integer == other.u_.integer;
    case kString:
      return *u_.str == *other.u_.str;
    case kBinary:
      return *u_.bin == *other.u_.bin;
    case kArray:
      return *u_.arr == *other.u_.arr;
    case kMap:
      return *u_.map == *other.u_.map;
  }
  return false;
}

}  // namespace tidewell
