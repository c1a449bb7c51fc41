#include "intake/pipe_listener.h"

#include <algorithm>
#include <array>

#include "handoff/handoff.h"
#include "intake/line_framer.h"

namespace nemora {

namespace {

HANDLE CreateConsolePipe() {
    return CreateNamedPipeW(
        kPipeName, PIPE_ACCESS_INBOUND,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_ACCEPT_REMOTE_CLIENTS, 1, 0,
        kPipeInputBufferBytes, 0, nullptr);
}

bool WaitForClient(HANDLE pipe) {
    if (ConnectNamedPipe(pipe, nullptr)) {
        return true;
    }
    // A client that opened the pipe between its creation and this call is
    // connected too. One that also wrote and closed in that instant reports
    // as "no data", yet what it wrote is still in the pipe to be read: served
    // like any other, its lines and its status lines show instead of
    // vanishing with the pipe.
    const DWORD error = GetLastError();
    return error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA;
}

}  // namespace

void FeedWhatRemains(HANDLE pipe, std::span<char> buffer, LineFramer& framer) {
    DWORD waiting = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr) && waiting > 0) {
        DWORD read = 0;
        const auto ask = static_cast<DWORD>(std::min<std::size_t>(waiting, buffer.size()));
        if (!ReadFile(pipe, buffer.data(), ask, &read, nullptr) || read == 0) {
            return;
        }
        framer.Feed(buffer.data(), read);
    }
}

DWORD WINAPI RunPipeListener(void*) {
    // Owned by this thread alone and kept for the life of the process.
    std::array<char, kReadChunk> buffer;
    LineFramer framer;

    for (;;) {
        HANDLE pipe = CreateConsolePipe();
        if (pipe == INVALID_HANDLE_VALUE) {
            Sleep(kCreateRetryMs);  // e.g. another process serves the name; try again, silently
            continue;
        }
        if (!WaitForClient(pipe)) {
            CloseHandle(pipe);
            Sleep(kConnectRetryMs);
            continue;
        }
        PushLine(kConnectedLine);

        DWORD read = 0;
        while (ReadFile(pipe, buffer.data(), kReadChunk, &read, nullptr) && read > 0) {
            framer.Feed(buffer.data(), read);
        }
        // Every end alike: closed by the client, broken, any error, a zero-byte read.
        FeedWhatRemains(pipe, buffer, framer);
        PushLine(kDisconnectedLine);
        DisconnectNamedPipe(pipe);
        CloseHandle(pipe);
    }
}

}  // namespace nemora
