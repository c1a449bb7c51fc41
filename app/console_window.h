#pragma once

#include <windows.h>

#include "client/nemora_protocol.h"

namespace nemora {

inline constexpr wchar_t kWindowClassName[] = L"NemoraDebugConsoleExe";
inline constexpr int kWindowWidth = 960;
inline constexpr int kWindowHeight = 640;

// Registers the window class; the result is not checked (a failure shows up
// as the main window's creation failing).
void RegisterConsoleClass(HINSTANCE instance);

// The top-level window, titled "Nemora Debug Console"; null on failure.
HWND CreateConsoleWindow(HINSTANCE instance);

// Fills a window of this class with its log view, in the fixed-pitch font; a
// view or font that can't be made is left out.
void CreateConsoleView(HWND window, HINSTANCE instance);

// Starts the slow timer that drains Lines whose wake-up post failed; without
// it they would wait for the next Line to arrive.
void StartStrandedLinesCheck(HWND window);

// All of the above: the class, the window with its view, the stranded-lines
// check; null if the window can't be created. Not shown yet.
HWND CreateConsole(HINSTANCE instance);

LRESULT CALLBACK ConsoleWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace nemora
