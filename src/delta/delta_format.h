// Constants of the signature and delta file formats (see
// docs/delta-format.md), the delta opcode table, and the result codes of the
// delta engine.

#ifndef TIDEWELL_DELTA_DELTA_FORMAT_H_
#define TIDEWELL_DELTA_DELTA_FORMAT_H_

#include <cstddef>
#include <cstdint>

namespace tidewell {

// Results of the engine's readers. The engine keeps its own small set rather
// than the daemon's codes; callers map them.
enum DeltaResult : int {
  DELTA_OK = 0,
  DELTA_ERR_ARGUMENT = -1,  // bad arguments (or a handler's own failure)
  DELTA_ERR_IO = -2,        // I/O failure or malformed command stream
  DELTA_ERR_HANDLER = -3,   // an output handler failed
  DELTA_ERR_ABORTED = -4,   // the abort flag was raised
  DELTA_ERR_FORMAT = -5,    // not a delta file, or a reserved opcode
};

// A short English text for a DeltaResult; "unknown result" otherwise.
const char* DeltaResultString(int result);

// Which file a failed run blames, so a caller can name it without reading
// diagnostics. A reader records the first fault of its run (fault()).
enum class DeltaFault : int {
  kNone = 0,       // no failure, or bad arguments or an abort
  kInput,          // the file read (SimpleFileReader) or the delta file (patch)
                   // cannot be opened or read, is cut short or no delta file
  kBasis,          // the basis cannot be opened or read (patch)
  kBasisTooShort,  // the delta copies beyond the end of the basis (patch)
  kSignature,      // the signature file cannot be read or is no signature
  kOutput,         // an output cannot be created or written
};

constexpr uint32_t kSignatureMagic = 0x72730136;  // "rs" 0x01 "6"
constexpr uint32_t kDeltaMagic = 0x72730236;      // "rs" 0x02 "6"
constexpr size_t kSignatureHeaderSize = 12;
constexpr uint32_t kDefaultBlockSize = 2048;
constexpr uint32_t kDefaultHashSize = 8;
constexpr uint32_t kMaxHashSize = 16;
// Blocks above this are refused: a delta builder keeps one block plus one
// input chunk in memory, and a peer must not be able to make that unbounded.
constexpr uint32_t kMaxBlockSize = 1u << 24;
// Input is read, and patch data moved, in chunks of this size.
constexpr size_t kChunkSize = 1u << 20;

// Delta opcodes.
constexpr uint8_t kOpEnd = 0x00;
constexpr uint8_t kOpLiteralImmediateMax = 0x40;
constexpr uint8_t kOpLiteralN1 = 0x41;  // then 0x42, 0x43, 0x44 for 2, 4, 8 bytes
constexpr uint8_t kOpCopyBase = 0x45;   // 0x45 + 4 * w(offset) + w(length)
constexpr uint8_t kOpCopyLast = 0x54;

// What one opcode means.
struct CmdInfo {
  enum Type : uint8_t { kEnd = 0, kLiteral = 1, kCopy = 2, kReserved = 3 };
  uint8_t type;
  uint8_t immediate;  // literal length carried by the opcode itself, else 0
  uint8_t len_1;      // byte width of the first parameter, 0 if none
  uint8_t len_2;      // byte width of the second parameter, 0 if none
};

// The opcode table.
class RSConstant {
 public:
  static const CmdInfo& getInfo(uint8_t opcode);
};

// Smallest width code w (0, 1, 2, 3 for 1, 2, 4, 8 bytes) that holds `value`.
inline int WidthCode(uint64_t value) {
  if (value < (1ull << 8)) return 0;
  if (value < (1ull << 16)) return 1;
  if (value < (1ull << 32)) return 2;
  return 3;
}

inline size_t WidthBytes(int code) { return size_t{1} << code; }

// Writes `value` big-endian in `width` bytes at `out`.
inline void PutBigEndian(uint8_t* out, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) out[i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
}

inline uint64_t GetBigEndian(const uint8_t* in, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v = (v << 8) | in[i];
  return v;
}

// Encodes the header of a literal command of `length` bytes (length > 0) at
// `out` (room for 9 bytes); returns the bytes used. The data follows it.
size_t EncodeLiteralHeader(uint64_t length, uint8_t* out);

// Encodes a copy command at `out` (room for 17 bytes); returns the bytes
// used. Offset and length each take the smallest width that holds them.
size_t EncodeCopy(uint64_t offset, uint64_t length, uint8_t* out);

}  // namespace tidewell

#endif  // TIDEWELL_DELTA_DELTA_FORMAT_H_
