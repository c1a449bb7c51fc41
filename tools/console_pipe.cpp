#include "tools/console_pipe.h"

#include <algorithm>

#include "intake/pipe_listener.h"

namespace nemora::send {

namespace {

constexpr DWORD kNotFoundPollMs = 20;

}  // namespace

OpenResult OpenConsolePipe(DWORD waitMs) {
    const ULONGLONG start = GetTickCount64();
    ULONGLONG lastSeen = start;  // when the pipe was last known to exist (or the start)
    for (;;) {
        OpenResult result;
        result.pipe.reset(
            CreateFileW(kPipeName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (result.pipe) {
            result.status = OpenStatus::kOpened;
            return result;
        }
        result.error = GetLastError();
        const ULONGLONG now = GetTickCount64();
        if (result.error == ERROR_PIPE_BUSY) {
            lastSeen = now;
            const ULONGLONG waited = now - start;
            if (waited >= waitMs) {
                result.status = OpenStatus::kBusyTimeout;
                return result;
            }
            // Returns once the holder has gone and the console serves the name
            // again, or fails when it has gone and the name not yet come back:
            // either way, try again.
            if (!WaitNamedPipeW(kPipeName,
                                static_cast<DWORD>(std::max<ULONGLONG>(1, waitMs - waited))) &&
                GetLastError() != ERROR_SEM_TIMEOUT) {
                Sleep(kNotFoundPollMs);
            }
            continue;
        }
        if (result.error == ERROR_FILE_NOT_FOUND) {
            if (now - lastSeen >= kNoConsoleGraceMs) {
                result.status = OpenStatus::kNoConsole;
                return result;
            }
            Sleep(kNotFoundPollMs);
            continue;
        }
        result.status = OpenStatus::kFailed;
        return result;
    }
}

bool WriteAll(HANDLE pipe, const char* bytes, std::size_t count) {
    constexpr std::size_t kMaxWrite = 1 << 20;
    while (count > 0) {
        const DWORD ask = static_cast<DWORD>(std::min(count, kMaxWrite));
        DWORD written = 0;
        if (!WriteFile(pipe, bytes, ask, &written, nullptr)) {
            return false;
        }
        if (written == 0) {  // a blocking pipe write never does this; don't spin if it does
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        bytes += written;
        count -= written;
    }
    return true;
}

}  // namespace nemora::send
