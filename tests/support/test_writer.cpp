// A client that never stops on its own: it opens the console's pipe and writes
// numbered lines "w<tag> 000000", "w<tag> 000001", ... in small pieces that
// cut through the lines, pausing after each piece (1 ms for the first 200
// lines, then 100 ms), until its pipe breaks or it is killed. Tests kill it in the middle of a
// line.
//
// Usage: nemora-test-writer <tag> <piece bytes>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "intake/pipe_listener.h"

constexpr unsigned kFastLines = 200;

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        return 2;
    }
    const std::wstring tag = argv[1];
    const int piece = std::max(1, _wtoi(argv[2]));
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 1000 && pipe == INVALID_HANDLE_VALUE; ++attempt) {
        pipe = CreateFileW(nemora::kPipeName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE && !WaitNamedPipeW(nemora::kPipeName, 100)) {
            Sleep(5);
        }
    }
    if (pipe == INVALID_HANDLE_VALUE) {
        return 3;
    }
    std::string pending;
    for (unsigned sequence = 0;; ++sequence) {
        char line[64];
        const int length = std::snprintf(line, sizeof(line), "w%ls %06u\n", tag.c_str(), sequence);
        pending.append(line, static_cast<std::size_t>(length));
        while (pending.size() >= static_cast<std::size_t>(piece)) {
            DWORD written = 0;
            if (!WriteFile(pipe, pending.data(), static_cast<DWORD>(piece), &written, nullptr)) {
                return 0;
            }
            pending.erase(0, written);
            // Slower after a while, so that a writer the test is slow to kill
            // can't fill the view: still mid-line whenever the kill comes.
            Sleep(sequence < kFastLines ? 1 : 100);
        }
    }
}
