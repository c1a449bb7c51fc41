#pragma once

#include <windows.h>

#include "client/nemora_protocol.h"

namespace nemora {

inline constexpr wchar_t kWindowClassName[] = L"NemoraDebugConsoleExe";
inline constexpr int kWindowWidth = 960;
inline constexpr int kWindowHeight = 640;

// The window class registered, the top-level window ("Nemora Debug Console")
// with its log view in the fixed-pitch font, and the slow timer that drains
// Lines whose wake-up post failed; null if the window can't be created (a
// view or font that can't be made is left out). Not shown yet.
HWND CreateConsole(HINSTANCE instance);

LRESULT CALLBACK ConsoleWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace nemora
