#pragma once

// The client end of the console's pipe: open it (waiting out a client that
// holds it) and write bytes to it. Kept apart from nemora-send's argument and
// input handling so that it can be swapped for another client without them.

#include <windows.h>

#include <cstddef>

#include "tests/support/unique_handle.h"

namespace nemora::send {

enum class OpenStatus {
    kOpened,
    kNoConsole,    // the pipe does not exist, and did not appear within a short grace
    kBusyTimeout,  // another client held the pipe for the whole wait
    kFailed,       // any other error; see OpenResult::error
};

struct OpenResult {
    OpenStatus status = OpenStatus::kFailed;
    UniqueFileHandle pipe;
    DWORD error = ERROR_SUCCESS;
};

// While the console re-creates its pipe after a client has gone, the name
// briefly does not exist; this long without it means no console is listening.
inline constexpr DWORD kNoConsoleGraceMs = 1000;

// Opens the console's pipe for writing. While another client holds it,
// waits up to waitMs for it to be free.
OpenResult OpenConsolePipe(DWORD waitMs);

// Writes every byte, in as many writes as it takes; never issues a zero-byte
// write, which would end the connection. False (with GetLastError set) if a
// write failed, e.g. because the console went away.
bool WriteAll(HANDLE pipe, const char* bytes, std::size_t count);

}  // namespace nemora::send
