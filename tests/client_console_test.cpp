// The client library against the console's real intake (listener thread,
// framer, pending-line queue) run on a thread of the test process. Each case
// runs in a process of its own; the intake is started only where a case says so.

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "client/nemora_client.h"
#include "tests/client_support.h"
#include "tests/support/line_lists.h"

namespace nemora {
namespace {

using namespace std::chrono_literals;
using test::Concat;
using test::ConsoleIntake;
using test::NumberedList;
using test::WaitUntil;

// The client library stands alone (it is copied into other projects), so it
// spells the pipe's name itself: it must be the name the console serves.
static_assert(std::wstring_view(kConsolePipeName) == std::wstring_view(kPipeName));

// Longer than the writer waits for more lines after a write before it sleeps:
// nothing says when it sleeps, so this is waited out.
constexpr auto kPastTheWritersLinger = 500ms;

// Makes a client, queues one line and destroys the client: how long the
// destruction took, in milliseconds.
double DestructionMs() {
    auto client = std::make_unique<DebugClient>();
    client->Line("never delivered");
    const auto start = std::chrono::steady_clock::now();
    client.reset();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

TEST(ClientToConsole, LinesArriveInOrderBetweenTheStatusLines) {
    ConsoleIntake console;
    ASSERT_TRUE(console.WaitUntilListening());
    {
        DebugClient client;
        for (int i = 0; i < 1000; ++i) {
            client.Line("line " + std::to_string(i));
        }
    }  // destruction flushes, then closes the pipe
    ASSERT_TRUE(console.WaitFor(kDisconnectedLine));
    EXPECT_EQ(console.Lines(),
              Concat({{kConnectedLine}, NumberedList("line ", 0, 1000), {kDisconnectedLine}}));
}

TEST(ClientToConsole, TextIsCutAtLineFeedsAndNeverTakenForAReading) {
    ConsoleIntake console;
    ASSERT_TRUE(console.WaitUntilListening());
    const std::string longText(3000, 'x');
    {
        DebugClient client;
        client.Line("one\ntwo\r\nthree\n");
        client.Line("");
        client.Line("\n");
        client.Line("a\n\nb");
        client.Line("FPS:30");
        client.Line("ok\nFPS:40\nFPS:");
        client.Line("FPS");
        client.Line("fps:50");
        client.Printf("%s=%d", "x", 5);
        client.Printf("%s|%s", longText.c_str(), "FPS:60");  // past the on-stack buffer
        client.Printf("FPS:%d", 70);
    }
    ASSERT_TRUE(console.WaitFor(kDisconnectedLine));
    EXPECT_EQ(console.Lines(),
              (std::vector<Line>{kConnectedLine, "one", "two", "three", "", "", "a", "", "b",
                                 " FPS:30", "ok", " FPS:40", " FPS:", "FPS", "fps:50", "x=5",
                                 longText + "|FPS:60", " FPS:70", kDisconnectedLine}));
    EXPECT_EQ(latestFps.load(), 0.0);  // none of it was taken as a reading
}

// Windows' wide text, as a C++ host has it, under the C locale a program
// starts with: the console gets UTF-8 for every character.
TEST(ClientToConsole, WideTextArrivesAsUtf8WhateverTheCLocale) {
    ConsoleIntake console;
    ASSERT_TRUE(console.WaitUntilListening());
    const std::wstring lone{L'a', wchar_t(0xDC00), L'b', wchar_t(0xD800), L'c', wchar_t(0xD800)};
    const std::wstring longText(200, L'\u30b2');  // past the on-stack buffer
    {
        DebugClient client;
        client.Line(L"C:\\Users\\J\u00f6rg\\\u30b2\u30fc\u30e0\\save");
        client.Line(std::wstring(L"two\nwide\n"));
        client.Line(L"pair \U0001F600" + lone);
        client.Line(longText);
        client.Line(L"FPS:1");
        client.Printf("%ls|%lc|%S|%C|%d", L"C:\\Users\\J\u00f6rg\\\u30b2\u30fc\u30e0\\save",
                      L'\u2713', L"\U0001F600", L'\u00e9', 7);
        client.Printf("%.2Lf %ls|", 1.25L, L"\u00e9");  // the host's own long double
        const char* refused = "%ls %n";                 // shows, rather than vanishing
        client.Printf(refused, L"x", nullptr);
    }
    ASSERT_TRUE(console.WaitFor(kDisconnectedLine));
    const std::string path = "C:\\Users\\J\xC3\xB6rg\\\xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0\\save";
    std::string longUtf8;
    for (int i = 0; i < 200; ++i) {
        longUtf8 += "\xE3\x82\xB2";
    }
    EXPECT_EQ(console.Lines(),
              (std::vector<Line>{
                  kConnectedLine, path, "two", "wide",
                  "pair \xF0\x9F\x98\x80"
                  "a\xEF\xBF\xBD"
                  "b\xEF\xBF\xBD"
                  "c\xEF\xBF\xBD",
                  longUtf8, " FPS:1", path + "|\xE2\x9C\x93|\xF0\x9F\x98\x80|\xC3\xA9|7",
                  "1.25 \xC3\xA9|", NEMORA_CLIENT_FORMAT_REFUSED "%ls %n", kDisconnectedLine}));
}

TEST(ClientToConsole, ReadingsReachTheConsoleExactly) {
    ConsoleIntake console;
    ASSERT_TRUE(console.WaitUntilListening());
    DebugClient client;
    // Each reading must read back as the very same double: the console's parse
    // of the client's text is the only road a reading takes.
    for (const double reading : {59.7, 0.1 + 0.2, 1.0 / 3.0, 144.0, 1e-300, 12345678.901234567}) {
        client.Fps(reading);
        EXPECT_TRUE(console.WaitForReading(reading)) << reading;
    }
    client.Line("after the readings");
    ASSERT_TRUE(console.WaitFor("after the readings"));
    EXPECT_EQ(console.Lines(), (std::vector<Line>{kConnectedLine, "after the readings"}));

    // A reading alone wakes a writer that has gone to sleep (250 ms after its
    // last write): nothing else would ever come to take it.
    std::this_thread::sleep_for(kPastTheWritersLinger);
    client.Fps(30.0);
    EXPECT_TRUE(console.WaitForReading(30.0));
}

TEST(ClientToConsole, ThreadsInterleaveWholeLinesOnly) {
    ConsoleIntake console;
    ASSERT_TRUE(console.WaitUntilListening());
    constexpr int kThreads = 4;
    // 8000 Lines and two status Lines stay within the console's pending-line
    // limit, so nothing is lost on the console's side whenever the test looks.
    constexpr int kLinesEach = 2000;
    {
        DebugClientOptions options;
        options.maxBufferedLines = kThreads * kLinesEach;
        options.maxBufferedBytes = std::size_t{64} << 20;
        options.flushTimeout = 10s;
        DebugClient client(options);
        std::vector<std::thread> writers;
        for (int t = 0; t < kThreads; ++t) {
            writers.emplace_back([&client, t] {
                for (int i = 0; i < kLinesEach; ++i) {
                    // Lengths vary so that lines straddle the listener's reads.
                    const std::string body(static_cast<std::size_t>(i % 300), char('a' + t));
                    client.Printf("t%d %d %s", t, i, body.c_str());
                }
            });
        }
        for (std::thread& writer : writers) {
            writer.join();
        }
        EXPECT_EQ(client.DroppedLines(), 0u);
    }
    ASSERT_TRUE(console.WaitFor(kDisconnectedLine));
    const std::vector<Line>& lines = console.Lines();
    ASSERT_EQ(lines.size(), std::size_t{kThreads * kLinesEach + 2});
    EXPECT_EQ(lines.front(), kConnectedLine);
    EXPECT_EQ(lines.back(), kDisconnectedLine);
    int next[kThreads] = {};
    for (std::size_t n = 1; n + 1 < lines.size(); ++n) {
        int t = -1;
        int i = -1;
        int consumed = 0;
        ASSERT_EQ(std::sscanf(lines[n].c_str(), "t%d %d %n", &t, &i, &consumed), 2) << lines[n];
        ASSERT_TRUE(t >= 0 && t < kThreads) << lines[n];
        ASSERT_EQ(i, next[t]) << "thread " << t << "'s lines out of order: " << lines[n];
        ASSERT_EQ(lines[n].substr(static_cast<std::size_t>(consumed)),
                  std::string(static_cast<std::size_t>(i % 300), char('a' + t)))
            << lines[n];
        ++next[t];
    }
}

TEST(ClientToConsole, AClientThatHoldsThePipeIsWaitedFor) {
    ConsoleIntake console;
    ASSERT_TRUE(console.WaitUntilListening());
    test::PipeClient other;  // holds the console's one pipe instance
    ASSERT_TRUE(other.Connect());
    ASSERT_TRUE(other.Write("first\n"));
    DebugClient client;
    client.Line("second");
    ASSERT_TRUE(console.WaitFor("first"));
    other.Close();
    ASSERT_TRUE(client.Flush(test::kPatience));
    ASSERT_TRUE(console.WaitFor("second"));
    EXPECT_EQ(console.Lines(), (std::vector<Line>{kConnectedLine, "first", kDisconnectedLine,
                                                  kConnectedLine, "second"}));
}

// A client destroyed while another holds the console's one pipe instance gives
// up on it: what it held is lost, and the console goes on serving the holder
// and then the next client as usual.
TEST(ClientToConsole, DestructionWhileAnotherClientHoldsThePipeGivesUp) {
    ConsoleIntake console;
    ASSERT_TRUE(console.WaitUntilListening());
    test::PipeClient other;  // holds the console's one pipe instance
    ASSERT_TRUE(other.Connect());
    std::printf("destruction while the pipe is held: %.1f ms\n", DestructionMs());

    ASSERT_TRUE(other.Write("holder\n"));
    other.Close();
    DebugClient next;
    next.Line("next");
    ASSERT_TRUE(console.WaitFor("next"));
    EXPECT_EQ(console.Lines(), (std::vector<Line>{kConnectedLine, "holder", kDisconnectedLine,
                                                  kConnectedLine, "next"}));
}

// No console at first: the calls return, the buffer keeps the newest lines,
// and the gap is reported once a console appears.
TEST(ClientWithoutConsole, CallsReturnAndTheGapIsReportedWhenTheConsoleAppears) {
    DebugClientOptions options;
    options.maxBufferedLines = 1000;
    DebugClient client(options);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100000; ++i) {
        client.Line("n " + std::to_string(i));
    }
    const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    std::printf("100000 calls with no console: %.0f us in all\n", took.count());
    EXPECT_EQ(client.DroppedLines(), 99000u);

    ConsoleIntake console;
    ASSERT_TRUE(console.WaitFor("n 99999"));
    EXPECT_EQ(console.Lines(), Concat({{kConnectedLine, ClientDroppedNotice(99000)},
                                       NumberedList("n ", 99000, 100000)}));
}

TEST(ClientWithoutConsole, TheByteBoundKeepsTheNewestLinesThatFit) {
    DebugClientOptions options;
    options.maxBufferedBytes = 1000;  // ten lines of 99 characters and a line feed
    DebugClient client(options);
    char text[100];
    for (int i = 0; i < 50; ++i) {
        std::snprintf(text, sizeof text, "%099d", i);
        client.Line(text);
    }
    client.Line(std::string(2000, 'z'));  // could never fit: dropped, the others stay
    std::snprintf(text, sizeof text, "%099d", 50);
    client.Line(text);
    EXPECT_EQ(client.DroppedLines(), 42u);  // lines 0 to 40 and the long one

    ConsoleIntake console;
    ASSERT_TRUE(console.WaitFor(text));
    // Each gap is announced where it is: the long line after line 49.
    std::vector<Line> expected{kConnectedLine, ClientDroppedNotice(41)};
    for (int i = 41; i <= 50; ++i) {
        if (i == 50) {
            expected.push_back(ClientDroppedNotice(1));
        }
        std::snprintf(text, sizeof text, "%099d", i);
        expected.push_back(text);
    }
    EXPECT_EQ(console.Lines(), expected);
}

// One call of more lines than the buffer holds, after lines already queued:
// its newest lines stay, as if each had been queued in turn, and each gap is
// announced where it is.
TEST(ClientWithoutConsole, OneCallOfMoreLinesThanTheBufferKeepsItsNewest) {
    DebugClientOptions options;
    options.maxBufferedLines = 10;
    options.maxBufferedBytes = 1000;
    DebugClient client(options);
    const std::string tooLong(2000, 'z');  // could never fit
    for (int i = 0; i < 5; ++i) {
        client.Line("before " + std::to_string(i));
        if (i == 2) {
            client.Line(tooLong);  // a gap among the queued lines
        }
    }
    std::string call;
    for (int i = 0; i < 30; ++i) {
        call += "c " + std::to_string(i) + "\n";
        if (i == 2 || i == 25 || i == 29) {
            call += tooLong + "\n";
        }
    }
    client.Line(call);
    EXPECT_EQ(client.DroppedLines(), 29u);  // five before, c 0 to c 19 and the four long

    ConsoleIntake console;
    ASSERT_TRUE(console.WaitForLines(14));
    EXPECT_EQ(console.Lines(), Concat({{kConnectedLine, ClientDroppedNotice(27)},
                                       NumberedList("c ", 20, 26),
                                       {ClientDroppedNotice(1)},
                                       NumberedList("c ", 26, 30),
                                       {ClientDroppedNotice(1)}}));
}

TEST(ClientWithoutConsole, DestructionReturnsWhenNoConsoleEverCame) {
    std::printf("destruction with no console: %.1f ms\n", DestructionMs());
    // The pipe is free for a console started afterwards: nothing of the client lingers.
    ConsoleIntake console;
    DebugClient next;
    next.Line("from the next client");
    ASSERT_TRUE(console.WaitFor("from the next client"));
    EXPECT_EQ(console.Lines(), (std::vector<Line>{kConnectedLine, "from the next client"}));
}

}  // namespace
}  // namespace nemora
