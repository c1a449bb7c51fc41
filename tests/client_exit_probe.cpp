// A host process that ends while a client is still alive, as a game does when
// its injected component never got to shut the client down.
//
//   client_exit_probe dll <line> <count> <untilStuck>
//       the client lives in a static object of client_probe.dll
//   client_exit_probe exe <line>
//       the client lives in a static object of this executable
// Either way the process returns from main with 0 and the static objects go
// with the process's exit.
//   client_exit_probe detach
//       ends the DLL client's writer while it holds the client's lock and
//       returns 9: the DLL logs from DllMain at the exit, and ends the process
//       with 7 if all went well
//   client_exit_probe unload <DeliveryStatus>
//       suspends the DLL client's writer where that status holds it up, so that
//       Shutdown gives up on it; Shutdown, FreeLibrary, resumes it: 0 once it
//       has ended and taken the DLL with it

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "client/nemora_client.h"

namespace {

using StaticLines = void (*)(const char*, int, int);
using Call = void (*)();
using IntCall = int (*)();
using IntOf = int (*)(int);

template <typename Function>
Function Export(HMODULE dll, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

std::vector<DWORD> ThreadsOfThisProcess() {
    std::vector<DWORD> ids;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) {
            ids.push_back(entry.th32ThreadID);
        }
    }
    CloseHandle(snapshot);
    std::sort(ids.begin(), ids.end());
    return ids;
}

int Unload(HMODULE dll, int status) {
    const auto start = Export<IntOf>(dll, "ProbeStartHeldUp");
    const auto stop = Export<Call>(dll, "ProbeStop");
    const std::vector<DWORD> before = ThreadsOfThisProcess();
    if (start(status) != 1) {
        return 4;
    }
    const std::vector<DWORD> after = ThreadsOfThisProcess();
    std::vector<DWORD> started;  // the writer, the one thread the client starts
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::back_inserter(started));
    const HANDLE writer = started.size() == 1
                              ? OpenThread(THREAD_SUSPEND_RESUME | SYNCHRONIZE, FALSE, started[0])
                              : nullptr;
    if (writer == nullptr) {
        return 5;
    }
    SuspendThread(writer);  // as the scheduler may leave it, past Shutdown's bounded wait
    stop();
    FreeLibrary(dll);
    ResumeThread(writer);
    const bool ended = WaitForSingleObject(writer, 10000) == WAIT_OBJECT_0;
    CloseHandle(writer);
    if (!ended) {
        return 6;
    }
    return GetModuleHandleW(L"client_probe.dll") == nullptr ? 0 : 7;
}

nemora::DebugClient& ExeClient() {
    static nemora::DebugClient client;
    return client;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "exe") == 0) {
        ExeClient().Line(argv[2]);
        return 0;
    }
    HMODULE dll = LoadLibraryW(L"client_probe.dll");
    if (dll == nullptr) {
        return 2;
    }
    if (argc >= 5 && std::strcmp(argv[1], "dll") == 0) {
        Export<StaticLines>(dll, "ProbeStaticLines")(argv[2], std::atoi(argv[3]),
                                                     std::atoi(argv[4]));
        return 0;
    }
    if (argc >= 3 && std::strcmp(argv[1], "unload") == 0) {
        return Unload(dll, std::atoi(argv[2]));
    }
    if (argc >= 2 && std::strcmp(argv[1], "detach") == 0) {
        Export<Call>(dll, "ProbeStart")();
        return Export<IntCall>(dll, "ProbeEndWriterHoldingLock")() == 1 ? 9 : 3;
    }
    return 1;
}
