// The client library against the real console: nemora-console.exe started as
// a separate process, its view read from outside as a user would see it.
//
// Every case keeps what the console has to show within what it shows exactly:
// fewer Lines than its pending-line queue holds (8192), and less text than one
// drain appends (131072 units) or the view keeps before it trims (262144). So
// whenever the view is looked at, nothing has been dropped on the console's side
// and every difference is the client's doing.

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "client/nemora_client.h"
#include "driver/console_process.h"
#include "driver/wait.h"
#include "tests/support/delivered.h"
#include "tests/support/line_lists.h"

namespace nemora::test {
namespace {

// Longer than any wait below should take on a loaded machine.
constexpr std::chrono::milliseconds kPatience = 30s;

// Sends lines "<prefix><i>" for i in [from, to).
void SendNumbered(DebugClient& client, const std::string& prefix, int from, int to) {
    for (int i = from; i < to; ++i) {
        client.Line(prefix + std::to_string(i));
    }
}

TEST(ClientWithTheRealConsole, LinesArriveInOrder) {
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    DebugClient client;
    SendNumbered(client, "line ", 0, 4000);
    ASSERT_TRUE(Delivered(client, console, L"line 3999"));
    EXPECT_EQ(console.ViewLines(), Concat({{kStart, kConnected}, NumberedList(L"line ", 0, 4000)}));
    EXPECT_EQ(client.DroppedLines(), 0u);
}

TEST(ClientWithTheRealConsole, WithNoConsoleCallsReturnAndTheDropsAreReportedLater) {
    ASSERT_EQ(CountConsoleWindows(), 0);
    DebugClientOptions options;
    options.maxBufferedLines = 4000;  // all of it fits one drain of the view
    DebugClient client(options);
    constexpr int kCalls = 100000;
    // With nobody to write to, the writer takes nothing out of the buffer: a
    // call that waited for room would never return, and the count is exact.
    SendNumbered(client, "call ", 0, kCalls);
    EXPECT_EQ(client.DroppedLines(), std::uint64_t{kCalls} - options.maxBufferedLines);

    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    ASSERT_TRUE(Delivered(client, console, L"call 99999"));
    EXPECT_EQ(console.ViewLines(), Concat({{kStart, kConnected, ClientNotice(96000)},
                                           NumberedList(L"call ", 96000, kCalls)}));
}

TEST(ClientWithTheRealConsole, AConsoleRestartedMidStreamGetsTheLinesAfterTheRestart) {
    DebugClient client;
    {
        ConsoleProcess first;
        ASSERT_TRUE(first.Start());
        SendNumbered(client, "line ", 0, 1000);
        ASSERT_TRUE(Delivered(client, first, L"line 999"));
        EXPECT_EQ(first.ViewLines(),
                  Concat({{kStart, kConnected}, NumberedList(L"line ", 0, 1000)}));
        ASSERT_EQ(first.Close(), 0u);
    }
    // The stream goes on: the client finds its pipe broken, keeps the lines
    // while no console runs, and reconnects once the next one is up.
    SendNumbered(client, "line ", 1000, 2000);
    ConsoleProcess second;
    ASSERT_TRUE(second.Start());
    SendNumbered(client, "line ", 2000, 3000);
    ASSERT_TRUE(Delivered(client, second, L"line 2999"));
    EXPECT_EQ(second.ViewLines(),
              Concat({{kStart, kConnected}, NumberedList(L"line ", 1000, 3000)}));
    EXPECT_EQ(client.DroppedLines(), 0u);
}

TEST(ClientWithTheRealConsole, ThreadsWritingAtOnceInterleaveWholeLinesOnly) {
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    constexpr int kThreads = 4;
    constexpr int kLinesEach = 1000;
    constexpr int kBodyLengths = 30;  // about 100,000 units in all: one drain's worth
    DebugClient client;
    std::atomic<bool> go{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            for (int i = 0; i < kLinesEach; ++i) {
                // Lengths vary so that lines straddle the client's batches and the console's reads.
                const std::string body(static_cast<std::size_t>(i % kBodyLengths), char('a' + t));
                client.Printf("t%d %d %s", t, i, body.c_str());
            }
        });
    }
    go.store(true);
    for (std::thread& writer : writers) {
        writer.join();
    }
    ASSERT_TRUE(client.Flush(kPatience));
    ASSERT_TRUE(WaitUntil(
        [&] { return console.ViewLines().size() >= std::size_t{kThreads * kLinesEach + 2}; },
        kPatience));
    const std::vector<std::wstring> lines = console.ViewLines();
    ASSERT_EQ(lines.size(), std::size_t{kThreads * kLinesEach + 2});
    EXPECT_EQ(lines[0], kStart);
    EXPECT_EQ(lines[1], kConnected);
    int next[kThreads] = {};
    for (std::size_t n = 2; n < lines.size(); ++n) {
        int t = -1;
        int i = -1;
        int consumed = 0;
        ASSERT_EQ(std::swscanf(lines[n].c_str(), L"t%d %d %n", &t, &i, &consumed), 2) << n;
        ASSERT_TRUE(t >= 0 && t < kThreads) << n;
        ASSERT_EQ(i, next[t]) << "thread " << t << "'s lines out of order at line " << n;
        ASSERT_EQ(lines[n].substr(static_cast<std::size_t>(consumed)),
                  std::wstring(static_cast<std::size_t>(i % kBodyLengths), wchar_t(L'a' + t)))
            << "line " << n << " is not whole";
        ++next[t];
    }
    EXPECT_EQ(client.DroppedLines(), 0u);
}

}  // namespace
}  // namespace nemora::test
