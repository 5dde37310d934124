// StringBuffer: an interning pool for the names held by FileList trees.
// Each distinct name is stored once in a few large chunks, so that a tree of
// many thousands of entries costs one copy per distinct name and no
// allocation per entry. Stored names never move; a `String` stays valid for
// the life of the buffer.
//
// Not thread-safe: one buffer belongs to the thread that builds its lists.

#ifndef TIDEWELL_DB_STRING_BUFFER_H_
#define TIDEWELL_DB_STRING_BUFFER_H_

#include <cstddef>
#include <memory>
#include <set>
#include <string_view>

namespace tidewell {

// A stored name: a view into a StringBuffer. Ordered by byte value.
using String = std::string_view;

class StringBuffer {
 public:
  static constexpr int kMaxChunks = 32;
  static constexpr size_t kFirstChunk = 64 * 1024;

  StringBuffer() = default;
  StringBuffer(const StringBuffer&) = delete;
  StringBuffer& operator=(const StringBuffer&) = delete;

  // Returns the stored copy of `name`, storing it first when new. A new name
  // goes into the first chunk with room; when none has room a chunk of twice
  // the previous capacity (and at least twice the name's length) is added.
  // Returns -1 (and leaves `out` alone) when all chunks are in use.
  [[nodiscard]] int Intern(std::string_view name, String* out);

  // Number of distinct names stored.
  size_t size() const { return dic_.size(); }

 private:
  struct Chunk {
    size_t capacity = 0;
    size_t offset = 0;
    std::unique_ptr<char[]> data;
  };

  std::set<String> dic_;
  Chunk chunk_[kMaxChunks];
  int used_ = 0;
};

}  // namespace tidewell

#endif  // TIDEWELL_DB_STRING_BUFFER_H_
