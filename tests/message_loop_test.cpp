// The console's window procedure on a real window in this process, fed the
// way a stream feeds it: a message is always posted when the thread asks for
// the next one, so the system never generates a timer message. What comes
// due must get done all the same.

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <string>

#include "driver/console_process.h"
#include "app/console_window.h"
#include "handoff/handoff.h"
#include "driver/wait.h"
#include "view/log_view.h"

namespace nemora {
namespace {

using Clock = std::chrono::steady_clock;

std::wstring TextOf(HWND window) {
    return test::WindowText(window).value_or(L"");
}

// Posts `message` and handles the next message, again and again, until
// `done` holds or 5 s have passed; whether it held.
template <typename Done>
bool StreamUntil(HWND window, UINT message, Done done) {
    for (const auto end = Clock::now() + std::chrono::seconds(5); Clock::now() < end;) {
        if (done()) {
            return true;
        }
        PostMessageW(window, message, 0, 0);
        MSG msg;
        GetMessageW(&msg, nullptr, 0, 0);
        DispatchMessageW(&msg);
    }
    return done();
}

TEST(MessageLoop, WhatComesDueIsDoneWhilePostsKeepComing) {
    HWND window = CreateConsole(GetModuleHandleW(nullptr));
    ASSERT_NE(window, nullptr);
    mainWindow.store(window);
    const HWND view = FindWindowExW(window, nullptr, L"EDIT", nullptr);
    ASSERT_NE(view, nullptr);

    // A lost wake-up: the flag says a drain request is posted, none is.
    drainPending.store(1);
    PushLine("stranded");
    EXPECT_TRUE(StreamUntil(window, WM_CONSOLE_FPS, [&] {
        return TextOf(view).find(L"stranded") != std::wstring::npos;
    })) << "a stream of readings kept the stranded line from ever being drained";

    // A reading within a frame of the last title change is put off; lines keep coming.
    PublishFps(99);
    // Idle, the timers come: the reading shows within a frame.
    ASSERT_TRUE(test::WaitUntil([&] { return TextOf(window).ends_with(L"FPS: 99"); }));
    PublishFps(100);
    EXPECT_TRUE(StreamUntil(window, WM_CONSOLE_DRAIN,
                            [&] { return TextOf(window).ends_with(L"FPS: 100"); }))
        << "the title stuck at " << std::string(TextOf(window).begin(), TextOf(window).end());

    mainWindow.store(nullptr);
    DestroyWindow(window);
}

}  // namespace
}  // namespace nemora
