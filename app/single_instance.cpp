#include "app/single_instance.h"

#include <windows.h>

namespace nemora {

bool AnotherConsoleIsRunning() {
    // Deliberately never closed: the name stays taken for as long as this process lives.
    HANDLE mutex = CreateMutexW(nullptr, TRUE, kSingletonMutexName);
    return mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
}

}  // namespace nemora
