// The console's entry: one instance per machine, the window, the listener
// thread, the message loop. Closing the window ends the process; Lines still
// queued are dropped.

#include <windows.h>

#include "app/console_window.h"
#include "app/single_instance.h"
#include "handoff/handoff.h"
#include "intake/pipe_listener.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    using namespace nemora;
    if (AnotherConsoleIsRunning()) {
        return 0;
    }
    HWND window = CreateConsole(instance);
    if (window == nullptr) {
        return 1;
    }
    mainWindow.store(window);  // before the listener exists, so it always sees it
    ShowWindow(window, SW_SHOW);
    PushLine(kStartLine);  // posts the first drain: the start line is always first
    CreateThread(nullptr, 0, RunPipeListener, nullptr, 0, nullptr);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
