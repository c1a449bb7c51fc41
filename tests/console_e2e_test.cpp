// The real console, started as a user starts it and watched from outside.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "driver/console_process.h"
#include "driver/game_stream.h"
#include "driver/wait.h"

namespace nemora::test {
namespace {

TEST(Console, ShowsAClientsLinesBetweenTheStatusLines) {
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    EXPECT_EQ(console.Title(), L"Nemora Debug Console");
    // Before any client, the start line alone, dash and all.
    EXPECT_EQ(console.ViewLines(), std::vector<std::wstring>{kStart});
    {
        PipeClient client;
        ASSERT_TRUE(client.Connect());
        ASSERT_TRUE(client.Write("hello \xC3\xA9\r\nsecond\n"));
    }
    ASSERT_TRUE(console.WaitForText(kDisconnected));
    EXPECT_EQ(console.ViewLines(), (std::vector<std::wstring>{kStart, kConnected, L"hello \u00E9",
                                                              L"second", kDisconnected}));
    EXPECT_EQ(console.Close(), 0u);
}

TEST(Console, AReadingGoesToTheTitleAndNotTheView) {
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    PipeClient client;
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(client.Write("FPS:59.7\nafter\n"));
    ASSERT_TRUE(console.WaitForText(L"after"));
    EXPECT_TRUE(
        WaitUntil([&] { return console.Title() == L"Nemora Debug Console  \u2014  FPS: 60"; }));
    EXPECT_EQ(console.ViewText()->find(L"FPS"), std::wstring::npos);
    // Closing while the client is still connected ends the process cleanly.
    EXPECT_EQ(console.Close(), 0u);
}

// A game's logger: 144 frames a second, each 40 lines (one write each) and a
// rising reading; drain requests then follow each other so closely that a
// timer message would hardly ever come. The title changes at most once a
// frame, but never falls behind for long.
TEST(Console, TheTitleFollowsTheReadingsWhileLinesStream) {
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    PipeClient client;
    ASSERT_TRUE(client.Connect());
    GameStream game;
    game.linesPerFrame = 40;
    const auto lags = TitleLagsUnder(game, console, client);
    ASSERT_FALSE(lags.empty());
    EXPECT_LE(*std::max_element(lags.begin(), lags.end()), 250.0)
        << "ms the title was behind the readings, at worst";
    EXPECT_EQ(console.Close(), 0u);
}

TEST(Console, ASecondStartExitsAtOnceAndTheFirstKeepsWorking) {
    ConsoleProcess first;
    ASSERT_TRUE(first.Start());
    ConsoleProcess second;
    ASSERT_TRUE(second.Launch());
    EXPECT_EQ(second.WaitForExit(10s), 0u);
    EXPECT_EQ(CountConsoleWindows(), 1);

    PipeClient client;
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(client.Write("still here\n"));
    EXPECT_TRUE(first.WaitForText(L"still here"));
    EXPECT_EQ(first.Close(), 0u);
}

// The view's outer rectangle equals the main window's client area, in screen coordinates.
bool ViewFillsClientArea(const ConsoleProcess& console) {
    RECT client{};
    RECT view{};
    if (!GetClientRect(console.window(), &client) || !GetWindowRect(console.view(), &view)) {
        return false;
    }
    POINT origin{0, 0};
    ClientToScreen(console.window(), &origin);
    return view.left == origin.x && view.top == origin.y &&
           view.right - view.left == client.right - client.left &&
           view.bottom - view.top == client.bottom - client.top;
}

SIZE ClientSize(HWND window) {
    RECT client{};
    GetClientRect(window, &client);
    return {client.right - client.left, client.bottom - client.top};
}

TEST(Console, TheViewFollowsResizingMinimisingAndRestoring) {
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    EXPECT_TRUE(ViewFillsClientArea(console));
    const SIZE initial = ClientSize(console.window());
    EXPECT_GT(initial.cx, 0);
    EXPECT_GT(initial.cy, 0);

    ASSERT_TRUE(SetWindowPos(console.window(), nullptr, 0, 0, 700, 450,
                             SWP_NOZORDER | SWP_NOMOVE | SWP_NOACTIVATE));
    EXPECT_TRUE(WaitUntil([&] { return ViewFillsClientArea(console); }, 5s));
    const SIZE resized = ClientSize(console.window());
    EXPECT_LT(resized.cx, initial.cx);
    EXPECT_LT(resized.cy, initial.cy);

    ASSERT_TRUE(MoveWindow(console.window(), 40, 30, 1100, 800, TRUE));
    EXPECT_TRUE(WaitUntil([&] { return ViewFillsClientArea(console); }, 5s));
    const SIZE grown = ClientSize(console.window());
    EXPECT_GT(grown.cx, resized.cx);
    EXPECT_GT(grown.cy, resized.cy);

    // Minimised, the view takes the size that comes with it (none); restored,
    // it fills the window again.
    ShowWindow(console.window(), SW_MINIMIZE);
    EXPECT_TRUE(WaitUntil([&] { return IsIconic(console.window()); }, 5s));
    EXPECT_TRUE(WaitUntil([&] { return ViewFillsClientArea(console); }, 5s));
    ShowWindow(console.window(), SW_RESTORE);
    EXPECT_TRUE(WaitUntil([&] { return !IsIconic(console.window()); }, 5s));
    EXPECT_TRUE(WaitUntil([&] { return ViewFillsClientArea(console); }, 5s));
    const SIZE restored = ClientSize(console.window());
    EXPECT_EQ(restored.cx, grown.cx);
    EXPECT_EQ(restored.cy, grown.cy);

    // Still working after all that.
    PipeClient client;
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(client.Write("after resizing\n"));
    EXPECT_TRUE(console.WaitForText(L"after resizing"));
    EXPECT_EQ(console.Close(), 0u);
}

// A client writing as fast as it can until the pipe breaks.
class FloodingClient {
  public:
    FloodingClient()
        : thread_([this] {
              PipeClient client;
              if (!client.Connect()) {
                  return;
              }
              std::string chunk;
              for (int i = 0; chunk.size() < 60000; ++i) {
                  chunk += "flood line " + std::to_string(i) + " with some text after it\n";
              }
              while (!stop_ && client.Write(chunk)) {
                  ++chunks_;
              }
          }) {}
    ~FloodingClient() {
        stop_ = true;  // the thread also ends when the console goes and the write fails
    }
    int chunks() const { return chunks_; }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<int> chunks_{0};
    std::jthread thread_;
};

// Closed by a posted WM_CLOSE, and by one sent from another program, which the
// console handles wherever it answers sent messages, in the middle of a drain too.
TEST(Console, ClosingDuringAFloodEndsTheProcessCleanly) {
    using CloseBy = ConsoleProcess::CloseBy;
    for (const auto& [by, rounds] : {std::pair{CloseBy::kPost, 5}, std::pair{CloseBy::kSend, 10}}) {
        for (int round = 0; round < rounds; ++round) {
            SCOPED_TRACE((by == CloseBy::kPost ? "posted, round " : "sent, round ") +
                         std::to_string(round));
            // Declared first, destroyed last: if the console outlives a failed check,
            // its destruction ends it, the flood's write fails and its thread ends.
            std::optional<FloodingClient> flood;
            ConsoleProcess console;
            ASSERT_TRUE(console.Start());
            flood.emplace();
            ASSERT_TRUE(WaitUntil([&] { return flood->chunks() >= 4; }, 10s));
            ASSERT_TRUE(console.WaitForText(L"flood line"));
            EXPECT_EQ(console.Close(20s, by), 0u);
        }
    }
}

}  // namespace
}  // namespace nemora::test
