#include "delta/delta_file_reader.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "delta/buffer.h"
#include "delta/delta_format.h"
#include "delta/reverse_delta.h"
#include "delta/xio.h"
#include "delta/diagnostics.h"

namespace tidewell {

// One command of a delta as read.
struct PatchCommand {
  uint64_t start;   // literal: position of its bytes in the delta; copy: basis offset
  uint64_t length;
  bool is_literal;
};

class DeltaFileReaderImpl {
 public:
  ustring patch_file;
  ustring basis_file;
  ustring rpatch_file;
  fd_t patch_fd;
  fd_bio_t patch_bio;
  uint64_t patch_offset = 0;
  fd_t basis_fd;

  // Reads the next command. 1 for a command in `cmd`, 0 for the end command,
  // or a negative DeltaResult.
  int ReadCommand(PatchCommand* cmd);
  // Reads exactly `length` bytes of the delta.
  bool ReadPatch(void* data, size_t length) {
    if (fd_bio_read(&patch_bio, data, length) != 0) return false;
    patch_offset += length;
    return true;
  }
};

int DeltaFileReaderImpl::ReadCommand(PatchCommand* cmd) {
  uint8_t opcode;
  if (!ReadPatch(&opcode, 1)) {
    DeltaDiagnostic("api (%d): expect command byte", __LINE__);
    return DELTA_ERR_IO;
  }
  const CmdInfo& info = RSConstant::getInfo(opcode);
  uint8_t param[8];
  uint64_t p1 = 0, p2 = 0;
  if (info.len_1 > 0) {
    if (!ReadPatch(param, info.len_1)) {
      DeltaDiagnostic("api (%d): expect parameter 1 with %u bytes", __LINE__, info.len_1);
      return DELTA_ERR_IO;
    }
    p1 = GetBigEndian(param, info.len_1);
  }
  if (info.len_2 > 0) {
    if (!ReadPatch(param, info.len_2)) {
      DeltaDiagnostic("api (%d): expect parameter 2 with %u bytes", __LINE__, info.len_2);
      return DELTA_ERR_IO;
    }
    p2 = GetBigEndian(param, info.len_2);
  }
  switch (info.type) {
    case CmdInfo::kEnd:
      return 0;
    case CmdInfo::kLiteral:
      *cmd = {patch_offset, info.immediate != 0 ? info.immediate : p1, true};
      return 1;
    case CmdInfo::kCopy:
      *cmd = {p1, p2, false};
      return 1;
    default:
      DeltaDiagnostic("api (%d): unexpected kind: %u", __LINE__, opcode);
      return DELTA_ERR_FORMAT;
  }
}

namespace {

bool CopyRangeUnsupported(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

}  // namespace

DeltaFileReader::DeltaFileReader() : impl(std::make_unique<DeltaFileReaderImpl>()) {}
DeltaFileReader::~DeltaFileReader() = default;

void DeltaFileReader::setFile(const ustring& patch_file, const ustring& basis_file) {
  impl->patch_file = patch_file;
  impl->basis_file = basis_file;
}

void DeltaFileReader::setReverseDeltaFile(const ustring& path) { impl->rpatch_file = path; }

int DeltaFileReader::readFile() {
  DeltaFileReaderImpl& d = *impl;
  if (d.basis_file.empty() || d.patch_file.empty()) {
    DeltaDiagnostic("api (%d): invalid arguments (basis_file = '%s', patch_file = '%s'",
            __LINE__, d.basis_file.c_str_utf8(), d.patch_file.c_str_utf8());
    return DELTA_ERR_ARGUMENT;
  }
  int rc = begin();
  const bool reverse = !d.rpatch_file.empty();
  ReverseDelta reverse_delta;
  std::vector<uint8_t> pieces[2];
  if (rc == DELTA_OK) {
    if (fd_open_read(d.patch_file, &d.patch_fd) != 0) {
      DeltaDiagnostic("api (%d): fd_open_read: Error Code %d", __LINE__, errno);
      Blame(DeltaFault::kInput);
      rc = DELTA_ERR_IO;
    } else if (fd_open_read(d.basis_file, &d.basis_fd) != 0) {
      DeltaDiagnostic("api (%d): fd_open_read: Error Code %d", __LINE__, errno);
      Blame(DeltaFault::kBasis);
      rc = DELTA_ERR_IO;
    }
  }
  if (rc == DELTA_OK) {
    d.patch_offset = 0;
    rc = fd_bio_load(&d.patch_bio, &d.patch_fd, kChunkSize) == 0 ? DELTA_OK : DELTA_ERR_IO;
    uint8_t magic[4];
    if (rc == DELTA_OK && !d.ReadPatch(magic, sizeof magic)) rc = DELTA_ERR_IO;
    if (rc == DELTA_OK && GetBigEndian(magic, 4) != kDeltaMagic) {
      DeltaDiagnostic("api (%d): invalid patch file (%x)", __LINE__,
              static_cast<unsigned>(GetBigEndian(magic, 4)));
      rc = DELTA_ERR_FORMAT;
    }
    if (rc != DELTA_OK) Blame(DeltaFault::kInput);
  }
  if (rc == DELTA_OK) {
    pieces[0].resize(kChunkSize);
    pieces[1].resize(kChunkSize);
    // Two pieces: the handlers' writes of one run while the next is read.
    int current = 0;
    bool in_flight = false;
    uint64_t new_offset = 0;  // bytes of the rebuilt file so far
    bool direct_copy = copy_handler && !delta_handler && !signature_handler && !md4_hash_handler;
    PatchCommand cmd;
    for (;;) {
      if (Aborted()) {
        rc = DELTA_ERR_ABORTED;
        break;
      }
      const int got = d.ReadCommand(&cmd);
      if (got <= 0) {
        if (got < 0) Blame(DeltaFault::kInput);
        rc = got;
        break;
      }
      if (!cmd.is_literal && reverse) reverse_delta.AddCopy(cmd.start, cmd.length, new_offset);
      uint64_t done = 0;
      while (rc == DELTA_OK && done < cmd.length) {
        if (Aborted()) {
          rc = DELTA_ERR_ABORTED;
          break;
        }
        const size_t want =
            cmd.length - done < kChunkSize ? static_cast<size_t>(cmd.length - done) : kChunkSize;
        uint8_t* piece = pieces[current].data();
        if (cmd.is_literal) {
          if (!d.ReadPatch(piece, want)) {
            DeltaDiagnostic("api (%d): fd_bio_read: offset = %" PRIu64 ", length = %u", __LINE__,
                    d.patch_offset, static_cast<unsigned>(want));
            Blame(DeltaFault::kInput);
            rc = DELTA_ERR_IO;
            break;
          }
        } else if (direct_copy) {
          // Only the rebuilt file wants these bytes: let the kernel copy
          // them from the basis, which halves the memory traffic.
          if (in_flight) {
            in_flight = false;
            if (wait() != DELTA_OK) {
              rc = DELTA_ERR_HANDLER;
              break;
            }
          }
          const int64_t n = copy_handler->copyRange(&d.basis_fd, cmd.start + done, want);
          if (n < 0 && done == 0 && CopyRangeUnsupported(errno)) {
            direct_copy = false;  // and copy this piece through the buffer
          } else if (n < 0) {
            rc = HandlerFailed();
            break;
          } else if (n != static_cast<int64_t>(want)) {
            DeltaDiagnostic("api (%d): fd_read: length = %u, return code = %d", __LINE__,
                            static_cast<unsigned>(want), static_cast<int>(n));
            Blame(DeltaFault::kBasisTooShort);
            rc = DELTA_ERR_IO;
            break;
          } else {
            done += want;
            continue;
          }
        }
        if (!cmd.is_literal) {
          const uint64_t at = cmd.start + done;
          // An offset past any file's end (it wrapped) reads nothing.
          const int64_t n = at < cmd.start ? 0 : fd_pread(&d.basis_fd, piece, want, at);
          if (n != static_cast<int64_t>(want)) {
            DeltaDiagnostic("api (%d): fd_read: length = %u, return code = %d", __LINE__,
                    static_cast<unsigned>(want), static_cast<int>(n));
            Blame(n < 0 ? DeltaFault::kBasis : DeltaFault::kBasisTooShort);
            rc = DELTA_ERR_IO;
            break;
          }
        }
        if (in_flight) {
          in_flight = false;
          if (wait() != DELTA_OK) {
            rc = DELTA_ERR_HANDLER;
            break;
          }
        }
        in_flight = true;
        if (update(piece, want) != DELTA_OK) {
          rc = DELTA_ERR_HANDLER;
          break;
        }
        current ^= 1;
        done += want;
      }
      if (rc != DELTA_OK) break;
      new_offset += cmd.length;
    }
    if (in_flight && wait() != DELTA_OK && rc == DELTA_OK) rc = DELTA_ERR_HANDLER;
  }
  if (rc == DELTA_OK && reverse) {
    uint64_t basis_size = 0;
    rc = fd_stat(&d.basis_fd, &basis_size) == 0 ? DELTA_OK : DELTA_ERR_IO;
    if (rc != DELTA_OK) Blame(DeltaFault::kBasis);
    if (rc == DELTA_OK) {
      DeltaFault fault = DeltaFault::kNone;
      rc = reverse_delta.Write(d.rpatch_file, &d.basis_fd, basis_size, &fault);
      if (rc != DELTA_OK) Blame(fault);
    }
  }
  if (end() != DELTA_OK && rc == DELTA_OK) rc = DELTA_ERR_HANDLER;
  fd_bio_unload(&d.patch_bio);
  fd_close(&d.patch_fd);
  fd_close(&d.basis_fd);
  return rc;
}

}  // namespace tidewell
