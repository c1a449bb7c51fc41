// A backlog in the real console, watched from outside: whatever waits for the
// view when it gets to it, every line it can hold shows, in order, and where
// lines were lost a notice in their place says how many.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "handoff/line_queue.h"
#include "driver/console_process.h"
#include "tests/support/dropped_notices.h"
#include "driver/unique_handle.h"
#include "driver/wait.h"

namespace nemora::test {
namespace {

// "line 00042 xxx...", `width` bytes, the fill after the number's blank.
std::string ClientLine(int number, std::size_t width, char fill) {
    char head[16];
    std::snprintf(head, sizeof(head), "line %05d ", number);
    std::string line = head;
    line.resize(width, fill);
    return line;
}

// One client connects, writes `count` lines in one write and goes; while
// `stalled`, the console's window thread is suspended until the listener has
// taken all of it (the pipe is free for the next client again). Then the view
// must hold, after the start line, the connection's lines in order, with a
// notice wherever lines are missing, the notices adding up to what is missing.
// How many lines the notices announced.
std::size_t SendAndReadBack(int count, std::size_t width, bool stalled, char fill = 'x') {
    ConsoleProcess console;
    EXPECT_TRUE(console.Start());
    const DWORD threadId = GetWindowThreadProcessId(console.window(), nullptr);
    UniqueHandle thread(OpenThread(THREAD_SUSPEND_RESUME, FALSE, threadId));
    EXPECT_TRUE(thread);
    if (stalled) {
        EXPECT_NE(SuspendThread(thread.get()), static_cast<DWORD>(-1));
    }
    std::vector<std::wstring> expected{kConnected};
    std::string bytes;
    for (int i = 0; i < count; ++i) {
        bytes += ClientLine(i, width, fill) + "\n";
        expected.push_back(Widen(ClientLine(i, width, fill)));
    }
    expected.push_back(kDisconnected);
    {
        PipeClient client;
        EXPECT_TRUE(client.Connect());
        EXPECT_TRUE(client.Write(bytes));
    }
    if (stalled) {
        // The pipe is there to be opened again once the listener has read everything.
        EXPECT_TRUE(WaitUntil([] { return WaitNamedPipeW(kPipeName, 50); }, 20s));
        EXPECT_NE(ResumeThread(thread.get()), static_cast<DWORD>(-1));
    }
    EXPECT_TRUE(console.WaitForText(kDisconnected, 20s));

    auto lines = console.ViewLines();
    if (!lines.empty()) {
        lines.erase(lines.begin());  // the start line
    }
    const std::size_t announced = ReadBackWithNotices(lines, expected).Announced();
    EXPECT_EQ(console.Close(), 0u);
    return announced;
}

// 240,000 units in one write to a shown window: more than one drain lays out,
// less than the view holds.
TEST(Backlog, ABurstTheViewCanHoldShowsWhole) {
    EXPECT_EQ(SendAndReadBack(2400, 98, false), 0u);
}

TEST(Backlog, AStalledWindowShowsEveryLineOnceItRuns) {
    EXPECT_EQ(SendAndReadBack(4000, 58, true), 0u);
}

// More lines than the queue holds: the oldest (the connection's status line
// among them) are lost, and the view says so where they are missing.
TEST(Backlog, LinesPastTheQueueLimitAreAnnouncedWhereTheyAreMissing) {
    EXPECT_EQ(SendAndReadBack(20000, 12, true), 20002 - kMaxPendingLines);
}

// A full queue of 4 KiB lines of bytes that are not UTF-8 (each 0x80 shows as
// U+FFFD): they take as much of the view as their bytes, so as with text the
// oldest are given up, announced, and the newest show at once.
TEST(Backlog, AStalledWindowsBacklogOfIllFormedBytesShowsItsNewestLines) {
    EXPECT_GT(SendAndReadBack(kMaxPendingLines - 1, 4096, true, '\x80'), 0u);
}

}  // namespace
}  // namespace nemora::test
