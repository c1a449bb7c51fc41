#include "nemora_relay_routing.h"

#include "lean_windows.h"

#include <algorithm>
#include <utility>

namespace nemora {

namespace {

// How long RelayRunning waits for a free instance of the relay's pipe: the
// relay offers the next one as soon as a client takes one.
constexpr DWORD kInstanceWaitMs = 1;

}  // namespace

bool RelayRunning() {
    const HANDLE instance = OpenMutexW(SYNCHRONIZE, FALSE, kRelayInstanceName);
    if (instance == nullptr) {
        return false;
    }
    CloseHandle(instance);
    // Started, and serving its pipe (it takes the mutex before making the pipe).
    return WaitNamedPipeW(kRelayPipeName, kInstanceWaitMs) || GetLastError() == ERROR_SEM_TIMEOUT;
}

ConsolePipe::Opened OpenRelayOrConsole(ConsolePipe& pipe, std::chrono::milliseconds busyWait,
                                       std::chrono::milliseconds absentGrace, bool* viaRelay) {
    *viaRelay = false;
    if (RelayRunning() &&
        pipe.Open(busyWait, absentGrace, kRelayPipeName) == ConsolePipe::Opened::kOpened) {
        *viaRelay = true;
        return ConsolePipe::Opened::kOpened;
    }
    return pipe.Open(busyWait, absentGrace, kConsolePipeName);
}

bool RelayWatch::RelayStarted() {
    const ULONGLONG now = GetTickCount64();
    if (now < nextLook_) {
        return false;
    }
    nextLook_ = now + static_cast<ULONGLONG>(interval_.count());
    moving_ = RelayRunning();
    return moving_;
}

void RelayWatch::Moved(bool viaRelay) {
    if (!std::exchange(moving_, false)) {
        return;
    }
    interval_ = viaRelay ? kInterval : std::min(interval_ * 2, kLongestInterval);
}

}  // namespace nemora
