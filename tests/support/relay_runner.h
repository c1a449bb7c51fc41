#pragma once

// Runs the real nemora-relay.exe (built next to the tests, in ../tools) on a
// console of its own, so that a Ctrl+C there reaches it alone.

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "driver/console_process.h"
#include "tests/support/child_process.h"

namespace nemora::test {

inline bool StartRelay(ChildProcess& child, const std::wstring& arguments = L"") {
    return child.Start(BesideThisExecutable(L"..\\tools\\nemora-relay.exe"), arguments,
                       CREATE_NEW_CONSOLE);
}

// Starts the relay and waits until the console shows it has connected.
inline bool StartRelayFor(const ConsoleProcess& console, ChildProcess& child,
                          const std::wstring& arguments = L"") {
    return StartRelay(child, arguments) &&
           console.WaitForText(Widen(kRelayStartedLine) + L"\r\n", std::chrono::seconds(20));
}

// Ctrl+C or Ctrl+Break on the relay's console, as a user presses it there:
// this process joins that console for the moment, ignoring the event itself.
inline bool SendConsoleControl(DWORD pid, DWORD event) {
    FreeConsole();
    if (!AttachConsole(pid)) {
        return false;
    }
    SetConsoleCtrlHandler(nullptr, TRUE);
    const bool sent = GenerateConsoleCtrlEvent(event, 0) != FALSE;
    FreeConsole();
    return sent;
}

// "[<pid> <name>] ": how the view shows a process's relayed lines.
inline std::wstring RelayPrefix(DWORD pid, std::wstring_view name) {
    return L"[" + std::to_wstring(pid) + L" " + std::wstring(name) + L"] ";
}
inline std::wstring RelayArrival(DWORD pid, std::wstring_view name) {
    return Widen(kRelayNoticeStart) + std::to_wstring(pid) + L" " + std::wstring(name) +
           Widen(kRelayClientConnected);
}
inline std::wstring RelayDeparture(DWORD pid, std::wstring_view name) {
    return Widen(kRelayNoticeStart) + std::to_wstring(pid) + L" " + std::wstring(name) +
           Widen(kRelayClientDisconnected);
}

// This process's image file name.
inline std::wstring OwnImageName() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring_view full(path);
    return std::wstring(full.substr(full.find_last_of(L"\\/") + 1));
}

}  // namespace nemora::test
