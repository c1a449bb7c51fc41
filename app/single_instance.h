#pragma once

namespace nemora {

inline constexpr wchar_t kSingletonMutexName[] = L"Global\\NemoraDebugConsoleSingleton";

// Takes the machine-wide mutex and holds it until the process ends. True only
// when it already existed: another console runs. A mutex that can't be made
// at all doesn't stop this console from starting.
bool AnotherConsoleIsRunning();

}  // namespace nemora
