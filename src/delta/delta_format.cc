#include "delta/delta_format.h"

#include <array>

namespace tidewell {

namespace {

std::array<CmdInfo, 256> BuildTable() {
  std::array<CmdInfo, 256> table{};
  for (int op = 0; op < 256; ++op) {
    CmdInfo& info = table[op];
    if (op == kOpEnd) {
      info = {CmdInfo::kEnd, 0, 0, 0};
    } else if (op <= kOpLiteralImmediateMax) {
      info = {CmdInfo::kLiteral, static_cast<uint8_t>(op), 0, 0};
    } else if (op < kOpCopyBase) {
      info = {CmdInfo::kLiteral, 0, static_cast<uint8_t>(WidthBytes(op - kOpLiteralN1)), 0};
    } else if (op <= kOpCopyLast) {
      const int code = op - kOpCopyBase;
      info = {CmdInfo::kCopy, 0, static_cast<uint8_t>(WidthBytes(code / 4)),
              static_cast<uint8_t>(WidthBytes(code % 4))};
    } else {
      info = {CmdInfo::kReserved, 0, 0, 0};
    }
  }
  return table;
}

}  // namespace

const CmdInfo& RSConstant::getInfo(uint8_t opcode) {
  static const std::array<CmdInfo, 256> table = BuildTable();
  return table[opcode];
}

const char* DeltaResultString(int result) {
  switch (result) {
    case DELTA_OK: return "success";
    case DELTA_ERR_ARGUMENT: return "invalid arguments";
    case DELTA_ERR_IO: return "read or write failed, or malformed input";
    case DELTA_ERR_HANDLER: return "output failed";
    case DELTA_ERR_ABORTED: return "aborted";
    case DELTA_ERR_FORMAT: return "not a delta file or unknown command";
    default: return "unknown result";
  }
}

size_t EncodeLiteralHeader(uint64_t length, uint8_t* out) {
  if (length <= kOpLiteralImmediateMax) {
    out[0] = static_cast<uint8_t>(length);
    return 1;
  }
  // The four-byte form is used up to 2^31 - 1 only, as the format has always
  // been written; longer literals take eight bytes.
  int code;
  if (length <= 0xFF) {
    code = 0;
  } else if (length <= 0xFFFF) {
    code = 1;
  } else if (length <= 0x7FFFFFFF) {
    code = 2;
  } else {
    code = 3;
  }
  out[0] = static_cast<uint8_t>(kOpLiteralN1 + code);
  PutBigEndian(out + 1, length, WidthBytes(code));
  return 1 + WidthBytes(code);
}

size_t EncodeCopy(uint64_t offset, uint64_t length, uint8_t* out) {
  const int wo = WidthCode(offset);
  const int wl = WidthCode(length);
  out[0] = static_cast<uint8_t>(kOpCopyBase + 4 * wo + wl);
  PutBigEndian(out + 1, offset, WidthBytes(wo));
  PutBigEndian(out + 1 + WidthBytes(wo), length, WidthBytes(wl));
  return 1 + WidthBytes(wo) + WidthBytes(wl);
}

}  // namespace tidewell
