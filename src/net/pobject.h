// PObject: the dynamically typed value that every request and reply is made
// of -- null, a 64-bit integer, a string, a binary (a region of a file, never
// its bytes), an array of values, or a map from strings to values ordered by
// ustring's byte order. PStream puts it on the wire.
//
// Two families of accessors: the const ones never change the object and
// answer with an empty constant when the type does not match; the non-const
// ones turn the object into the requested type first (dropping what it
// held), which is how requests are built one key at a time:
//
//   PObject req;
//   req["_action"] = "connect";
//   req["view_id"] = view_id;
//
// Not thread-safe; a value belongs to one thread at a time.

#ifndef TIDEWELL_NET_POBJECT_H_
#define TIDEWELL_NET_POBJECT_H_

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/ustring.h"

namespace tidewell {

class PObject {
 public:
  // Type codes.
  enum Type : uint8_t {
    kNull = 0,
    kArray = 1,
    kMap = 2,
    kInteger = 3,
    kString = 4,
    kBinary = 5,
  };

  // A region of a file. On sending, `length` bytes from `offset` of `path`
  // travel; on receiving, `offset` is how much of `path` is already present
  // and the bytes are stored after it. Empty when `path` is empty.
  struct binary_type {
    uint64_t offset = 0;
    uint64_t length = 0;
    ustring path;

    bool empty() const { return path.empty(); }
    void clear();
    bool operator==(const binary_type& other) const;
  };
  using array_type = std::vector<PObject>;
  using map_type = std::map<ustring, PObject>;

  // What the const accessors return when the type does not match.
  static const PObject empty_object;
  static const array_type empty_array;
  static const map_type empty_map;
  static const binary_type empty_binary;

  PObject() = default;
  PObject(bool v) { set_integer(v ? 1 : 0); }
  PObject(int v) { set_integer(static_cast<uint64_t>(static_cast<int64_t>(v))); }
  PObject(unsigned int v) { set_integer(v); }
  PObject(long v) { set_integer(static_cast<uint64_t>(static_cast<int64_t>(v))); }
  PObject(unsigned long v) { set_integer(v); }
  PObject(long long v) { set_integer(static_cast<uint64_t>(v)); }
  PObject(unsigned long long v) { set_integer(v); }
  PObject(const char* s);
  PObject(const std::string& s);
  PObject(const ustring& s);
  PObject(const binary_type& b);
  PObject(const map_type& m);
  PObject(const array_type& a);
  PObject(const PObject& other);  // deep copy
  PObject(PObject&& other) noexcept { swap(other); }
  ~PObject() { clear(); }

  // Each assignment releases the old payload first.
  PObject& operator=(const PObject& other);
  PObject& operator=(PObject&& other) noexcept;
  template <typename T>
    requires std::constructible_from<PObject, const T&> && (!std::same_as<std::remove_cvref_t<T>, PObject>)
  PObject& operator=(const T& v) {
    PObject tmp(v);
    swap(tmp);
    return *this;
  }

  // Releases the payload recursively; the object becomes null.
  void clear();
  void swap(PObject& other) noexcept;
  // Deep copy of `other` into this object.
  void copy(const PObject& other);

  Type type() const { return type_; }
  bool isNull() const { return type_ == kNull; }
  bool isArray() const { return type_ == kArray; }
  bool isMap() const { return type_ == kMap; }
  bool isInteger() const { return type_ == kInteger; }
  bool isString() const { return type_ == kString; }
  bool isBinary() const { return type_ == kBinary; }
  bool isContainer() const { return isArray() || isMap(); }
  bool isPrimitive() const { return isInteger() || isString() || isBinary(); }

  // --- read-only accessors --------------------------------------------
  const map_type& asMap() const { return isMap() ? *u_.map : empty_map; }
  const array_type& asArray() const { return isArray() ? *u_.arr : empty_array; }
  const binary_type& asBinary() const { return isBinary() ? *u_.bin : empty_binary; }
  // The integer (two's complement for negative values), or 0 for any other
  // type; the narrow forms take the low bits.
  uint64_t asInteger() const { return isInteger() ? u_.integer : 0; }
  int64_t asInt64() const { return static_cast<int64_t>(asInteger()); }
  uint64_t asUInt64() const { return asInteger(); }
  uint32_t asUInt32() const { return static_cast<uint32_t>(asInteger()); }
  int32_t asInt32() const { return static_cast<int32_t>(asUInt32()); }
  uint16_t asUInt16() const { return static_cast<uint16_t>(asInteger()); }
  int16_t asInt16() const { return static_cast<int16_t>(asUInt16()); }
  uint8_t asUInt8() const { return static_cast<uint8_t>(asInteger()); }
  int8_t asInt8() const { return static_cast<int8_t>(asUInt8()); }
  // A string's text; for an integer the decimal text of its low 32 bits
  // (unsigned); "" for anything else.
  ustring asString() const;
  // A string's text without copying it; "" for any other type.
  const ustring& asStringRef() const;
  // For an integer: non-zero. Otherwise: !isEmpty().
  bool asBool() const { return isInteger() ? u_.integer != 0 : !isEmpty(); }
  // Null, an empty array, map or string, and a binary without path.
  bool isEmpty() const;
  // True only for a map that holds `key`.
  bool hasMember(const ustring& key) const;
  // Elements of an array or entries of a map; 0 for the other types.
  size_t size() const;

  // The map's value for `key`, or empty_object.
  const PObject& operator[](const ustring& key) const;
  const PObject& operator[](const char* key) const { return (*this)[ustring(key)]; }
  // An array's element, or a map's entry at that position in key order, or
  // empty_object.
  template <std::integral I>
  const PObject& operator[](I index) const {
    return index < 0 ? empty_object : at_index(static_cast<uint64_t>(index));
  }

  // --- mutating accessors ---------------------------------------------
  // Turn the object into an empty value of that type unless it already is
  // one, then give access to the payload.
  map_type& asMap();
  array_type& asArray();
  binary_type& asBinary();
  // Turns the object into a map if needed, inserts a null entry for a new
  // key, and returns the entry's value.
  PObject& operator[](const ustring& key);
  PObject& operator[](const char* key) { return (*this)[ustring(key)]; }
  // The value of a map's entry at that position in key order. Throws
  // std::out_of_range("out_of_range: PObject::operator[]") for a position
  // past the end and for any object that is no map.
  template <std::integral I>
  PObject& operator[](I index) {
    if (index < 0) throw std::out_of_range("out_of_range: PObject::operator[]");
    return mutable_at_index(static_cast<uint64_t>(index));
  }

  // One-line text for log lines: null, numbers, "strings", [a, b],
  // {"k": v}, {offset: o, length: l, path: "p"}.
  ustring toString() const;

  // Deep equality (same type and same payload).
  bool operator==(const PObject& other) const;

 private:
  void set_integer(uint64_t v) {
    type_ = kInteger;
    u_.integer = v;
  }
  const PObject& at_index(uint64_t index) const;
  PObject& mutable_at_index(uint64_t index);
  void append_text(std::string& out) const;

  Type type_ = kNull;
  union {
    uint64_t integer;
    ustring* str;
    array_type* arr;
    map_type* map;
    binary_type* bin;
  } u_{};
};

}  // namespace tidewell

#endif  // TIDEWELL_NET_POBJECT_H_
