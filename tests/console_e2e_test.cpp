// The real console, started as a user starts it and watched from outside.

#include <gtest/gtest.h>

#include "tests/support/console_process.h"
#include "tests/support/wait.h"

namespace nemora::test {
namespace {

const std::wstring kStart = L"[console] Nemora debug console started \u2014 waiting for client...";
const std::wstring kConnected = L"[console] client connected";
const std::wstring kDisconnected = L"[console] client disconnected (waiting for re-inject)";

TEST(Console, ShowsAClientsLinesBetweenTheStatusLines) {
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    EXPECT_EQ(console.Title(), L"Nemora Debug Console");
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

}  // namespace
}  // namespace nemora::test
