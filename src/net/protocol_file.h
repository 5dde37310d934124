// File transfer in sections: the file's bytes as numbered blocks behind a
// delta flag and the file size (docs/protocol.md).
//
// Results: 0, or the channel's code; ERR_PROTO when the sections do not fit
// (wrong id, a block beyond the announced size, an empty block, a sender
// file that ends before its size); ERR_INVAL for an offset beyond the file;
// ERR_SYS when the local file cannot be opened, read or written;
// ERR_LOCAL_DISKFULL when the disk fills while receiving. After a failure
// the channel is out of step with the peer.

#ifndef TIDEWELL_NET_PROTOCOL_FILE_H_
#define TIDEWELL_NET_PROTOCOL_FILE_H_

#include <cstdint>
#include <cstdio>

#include "base/ustring.h"
#include "net/channel.h"

namespace tidewell {

// Block sizes of the two forms.
inline constexpr size_t kFileBlock = 8192;
inline constexpr size_t kFileBlock2 = 57344;
// Number of the first block; each further block counts up by one.
inline constexpr uint32_t kFirstBlockId = 1280;

// Sends the whole file (the stream is read from its start) in 8 KiB blocks,
// then flushes.
[[nodiscard]] int ProtoWriteFile(Channel& ch, bool is_delta, FILE* stream);
[[nodiscard]] int ProtoWriteFile(Channel& ch, bool is_delta, const ustring& path);

// Sends the whole file's size, then its bytes from `offset` in 56 KiB
// blocks, then flushes.
[[nodiscard]] int ProtoWriteFile2(Channel& ch, bool is_delta, FILE* stream, uint64_t offset);
[[nodiscard]] int ProtoWriteFile2(Channel& ch, bool is_delta, const ustring& path, uint64_t offset);

// Receives a file sent by ProtoWriteFile into `path` (created or truncated).
[[nodiscard]] int ProtoReadFile(Channel& ch, bool& is_delta, const ustring& path);

// Receives the part from `offset` of a file sent by ProtoWriteFile2. The
// file at `path` must hold at least `offset` bytes (it is created when
// `offset` is 0); anything after `offset` is replaced.
[[nodiscard]] int ProtoReadFile2(Channel& ch, bool& is_delta, const ustring& path, uint64_t offset);

}  // namespace tidewell

#endif  // TIDEWELL_NET_PROTOCOL_FILE_H_
