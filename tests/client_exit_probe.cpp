// A host process that ends while a client is still alive, as a game does when
// its injected component never got to shut the client down.
//
//   client_exit_probe dll <line> <count> <untilStuck>
//       the client lives in a static object of client_probe.dll
//   client_exit_probe exe <line>
//       the client lives in a static object of this executable
// Either way the process returns from main with 0 and the static objects go
// with the process's exit.

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "client/nemora_client.h"

namespace {

using StaticLines = void (*)(const char*, int, int);

nemora::DebugClient& ExeClient() {
    static nemora::DebugClient client;
    return client;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && std::strcmp(argv[1], "dll") == 0) {
        HMODULE dll = LoadLibraryW(L"client_probe.dll");
        if (dll == nullptr) {
            return 2;
        }
        auto lines = reinterpret_cast<StaticLines>(
            reinterpret_cast<void*>(GetProcAddress(dll, "ProbeStaticLines")));
        if (lines == nullptr) {
            return 3;
        }
        lines(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
        return 0;
    }
    if (argc >= 3 && std::strcmp(argv[1], "exe") == 0) {
        ExeClient().Line(argv[2]);
        return 0;
    }
    return 1;
}
