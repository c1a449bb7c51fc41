// Serves the console's pipe name from a process of its own, with the
// console's parameters, until its standard input ends: stands in for another
// console (or anything else) already holding the name. Prints "ready" once
// the pipe exists and "connected" once a client has opened it; never reads
// from the pipe. Exits 1 if it could not create the pipe.

#include <windows.h>

#include <cstdio>

#include "intake/pipe_listener.h"

namespace {

DWORD WINAPI ReportClient(void* pipe) {
    if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
        std::puts("connected");
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main() {
    HANDLE pipe = CreateNamedPipeW(nemora::kPipeName, PIPE_ACCESS_INBOUND,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0,
                                   nemora::kPipeInputBufferBytes, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "pipe_holder: CreateNamedPipeW failed (%lu)\n", GetLastError());
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    CreateThread(nullptr, 0, ReportClient, pipe, 0, nullptr);

    char byte;
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &read, nullptr) && read > 0) {
    }
    CloseHandle(pipe);
    return 0;
}
