#pragma once

#include <windows.h>

#include <cstddef>
#include <span>

#include "client/nemora_protocol.h"

namespace nemora {

inline constexpr std::size_t kReadChunk = 4096;        // bytes asked of one read
inline constexpr DWORD kPipeInputBufferBytes = 65536;  // what a client can write ahead
inline constexpr DWORD kCreateRetryMs = 500;           // after a failed pipe creation
inline constexpr DWORD kConnectRetryMs = 200;          // after a failed connection attempt

class LineFramer;

// Reads what the pipe still holds, once a read has ended the connection, into
// the buffer and hands it to the framer. On Windows a client's zero-byte write
// completes the listener's read with no bytes while the client stays
// connected; what it wrote after that is already in the pipe, and
// disconnecting would discard it although each of those writes reported
// success. A pipe whose client has closed holds nothing more.
void FeedWhatRemains(HANDLE pipe, std::span<char> buffer, LineFramer& framer);

// The listener thread's routine: serves the pipe to one client after another,
// hands every byte read to one LineFramer (a partial line carries over to the
// next client) and reports each connection and disconnection as a status
// Line. The parameter is ignored; it never returns.
DWORD WINAPI RunPipeListener(void* unused);

}  // namespace nemora
