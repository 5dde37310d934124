#include "delta/file_reader.h"

#include <vector>

#include "delta/delta_format.h"
#include "delta/xio.h"

namespace tidewell {

void FileReader::setCopyHandler(const ustring& path) {
  copy_handler = std::make_unique<CopyHandler>(path);
}

void FileReader::setMD4HashHandler(ustring* result) {
  md4_hash_handler = std::make_unique<MD4HashHandler>(result);
}

void FileReader::setSignatureHandler(const ustring& path, uint32_t block_size, uint32_t hash_size) {
  signature_handler = std::make_unique<SignatureHandler>(path, block_size, hash_size);
}

void FileReader::setDeltaHandler(const ustring& delta_path, const ustring& signature_path) {
  delta_handler = std::make_unique<DeltaHandler>(delta_path, signature_path);
}

// Every handler gets the call even when an earlier one failed, so that none
// is left half-begun or with a write in flight.
#define TIDEWELL_FAN_OUT(call)                                       \
  int failed = 0;                                                    \
  if (copy_handler && copy_handler->call != 0) failed = 1;           \
  if (delta_handler && delta_handler->call != 0) failed = 1;         \
  if (signature_handler && signature_handler->call != 0) failed = 1; \
  if (md4_hash_handler && md4_hash_handler->call != 0) failed = 1;   \
  return failed ? HandlerFailed() : DELTA_OK

int FileReader::HandlerFailed() {
  Blame(delta_handler && delta_handler->signature_failed() ? DeltaFault::kSignature : DeltaFault::kOutput);
  return DELTA_ERR_HANDLER;
}

int FileReader::begin() { TIDEWELL_FAN_OUT(begin()); }
int FileReader::update(const uint8_t* buffer, size_t length) {
  TIDEWELL_FAN_OUT(update(buffer, length));
}
int FileReader::wait() { TIDEWELL_FAN_OUT(wait()); }
int FileReader::end() { TIDEWELL_FAN_OUT(end()); }

#undef TIDEWELL_FAN_OUT

int SimpleFileReader::readFile() {
  if (file.empty()) return DELTA_ERR_ARGUMENT;
  int rc = begin();
  if (rc == DELTA_OK) {
    fd_t input;
    if (fd_open_read(file, &input) != 0) {
      Blame(DeltaFault::kInput);
      rc = DELTA_ERR_IO;
    } else {
      // Two pieces: the handlers' writes of one run while the next is read.
      std::vector<uint8_t> pieces[2] = {std::vector<uint8_t>(kChunkSize),
                                        std::vector<uint8_t>(kChunkSize)};
      int current = 0;
      bool in_flight = false;
      for (;;) {
        if (Aborted()) {
          rc = DELTA_ERR_ABORTED;
          break;
        }
        const int64_t n = fd_read(&input, pieces[current].data(), kChunkSize);
        if (n < 0) {
          Blame(DeltaFault::kInput);
          rc = DELTA_ERR_IO;
          break;
        }
        if (in_flight) {
          in_flight = false;
          if (wait() != DELTA_OK) {
            rc = DELTA_ERR_HANDLER;
            break;
          }
        }
        if (n == 0) break;
        in_flight = true;
        if (update(pieces[current].data(), static_cast<size_t>(n)) != DELTA_OK) {
          rc = DELTA_ERR_HANDLER;
          break;
        }
        current ^= 1;
      }
      if (in_flight && wait() != DELTA_OK && rc == DELTA_OK) rc = DELTA_ERR_HANDLER;
    }
  }
  // end() runs whatever happened; a failure there (the last block of a
  // signature, the end of a delta) fails the run too.
  if (end() != DELTA_OK && rc == DELTA_OK) rc = DELTA_ERR_HANDLER;
  return rc;
}

}  // namespace tidewell
