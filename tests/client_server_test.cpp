// The client library against a hand-rolled pipe server with the console's
// parameters, which a test can leave unread, close and create again: a console
// that restarts, or whose window thread is frozen while the pipe fills.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/nemora_client.h"
#include "tests/client_support.h"
#include "tests/support/line_lists.h"

namespace nemora {
namespace {

using namespace std::chrono_literals;
using test::NumberedList;
using test::TestPipeServer;

TEST(ClientAgainstServer, AServerThatGoesAwayAndComesBackGetsTheLinesAfterItsReturn) {
    DebugClient client;
    {
        TestPipeServer first;
        ASSERT_TRUE(first.Create());
        for (int i = 0; i < 10; ++i) {
            client.Line("a" + std::to_string(i));
        }
        ASSERT_TRUE(first.WaitForClient());
        ASSERT_TRUE(first.ReadLines(10));
        EXPECT_EQ(first.lines(), NumberedList("a", 0, 10));
        first.Close();  // the console ends while the client still holds its end
    }
    // Written while no server is there: the first write finds the pipe broken.
    for (int i = 0; i < 10; ++i) {
        client.Line("b" + std::to_string(i));
    }
    TestPipeServer second;
    ASSERT_TRUE(second.Create());
    ASSERT_TRUE(second.WaitForClient());
    ASSERT_TRUE(second.ReadLines(10));
    EXPECT_EQ(second.lines(), NumberedList("b", 0, 10));  // none lost, none twice
    client.Line("c");
    ASSERT_TRUE(second.ReadLines(1));
    EXPECT_EQ(second.lines().back(), "c");
    EXPECT_EQ(client.DroppedLines(), 0u);
}

TEST(ClientAgainstServer, OnlyTheLatestUnsentReadingIsSentAfterTheLines) {
    DebugClient client;
    for (int i = 1; i <= 10000; ++i) {
        client.Fps(i);
    }
    client.Line("text");
    client.Fps(59.7);
    EXPECT_EQ(client.DroppedLines(), 0u);  // readings never take a line's place

    TestPipeServer server;
    ASSERT_TRUE(server.Create());
    ASSERT_TRUE(server.WaitForClient());
    ASSERT_TRUE(server.ReadLines(2));
    EXPECT_EQ(server.lines(), (std::vector<std::string>{"text", "FPS:59.7"}));
    ASSERT_TRUE(client.Flush(test::kPatience));
    client.Fps(0.1 + 0.2);
    ASSERT_TRUE(server.ReadLines(1));
    EXPECT_EQ(server.lines().back(), "FPS:0.30000000000000004");  // shortest exact form
}

// The console's window thread is frozen: the listener stops reading once the
// pending-line queue is full and the pipe's in-buffer fills. Destruction must
// still come back, after its bounded wait.
TEST(ClientAgainstServer, DestructionWithAServerThatNeverReadsReturns) {
    TestPipeServer server;
    ASSERT_TRUE(server.Create());
    auto client = std::make_unique<DebugClient>();
    const std::string body(999, 'q');
    for (int i = 0; i < 300; ++i) {
        client->Line(body);  // 300 KB: far more than the pipe holds
    }
    ASSERT_TRUE(server.WaitForClient());
    EXPECT_FALSE(client->Flush(300ms));  // stuck in a write: nothing reads
    std::printf("unread bytes in the pipe: %lu\n",
                static_cast<unsigned long>(server.BytesWaiting()));

    const auto start = std::chrono::steady_clock::now();
    client.reset();
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    std::printf("destruction with a server that never reads: %.1f ms (flush timeout %lld ms)\n",
                took.count(), static_cast<long long>(DebugClientOptions{}.flushTimeout.count()));

    // The writer is gone and its end of the pipe closed: the server reads what
    // was written, whole lines, and then finds the pipe closed.
    ASSERT_TRUE(server.ReadUntilClosed());
    EXPECT_GT(server.lines().size(), 0u);
    EXPECT_LT(server.bytesRead(), 300u * 1000u);
    for (const std::string& line : server.lines()) {
        ASSERT_EQ(line, body);
    }
}

TEST(ClientAgainstServer, ShutdownFlushesWhatTheServerReadsInTime) {
    TestPipeServer server;
    ASSERT_TRUE(server.Create());
    DebugClient client;
    for (int i = 0; i < 500; ++i) {
        client.Line("s" + std::to_string(i));
    }
    ASSERT_TRUE(server.WaitForClient());
    client.Shutdown();  // the server reads nothing before this returns; the pipe holds it all
    client.Line("after shutdown");  // ignored
    ASSERT_TRUE(server.ReadUntilClosed());
    EXPECT_EQ(server.lines(), NumberedList("s", 0, 500));
    EXPECT_EQ(server.partial(), "");
}

// A writer that gathers for longer writes the lines a steady host logs in
// the meantime at once: how the relay spares the console.
TEST(ClientAgainstServer, LinesThatComeWithinTheBatchIntervalGoInOneWrite) {
    TestPipeServer server;
    ASSERT_TRUE(server.Create());
    DebugClientOptions options;
    options.batchInterval = 250ms;
    DebugClient client(options);
    client.Line("first");
    ASSERT_TRUE(server.WaitForClient());
    ASSERT_TRUE(server.ReadLines(1));
    const std::size_t readsBefore = server.reads();
    bool readAll = false;
    std::thread reader([&] { readAll = server.ReadLines(6); });  // each write read as it comes
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 6; ++i) {
        client.Line("s" + std::to_string(i));
        Sleep(20);  // a host's frames
    }
    const auto span = std::chrono::steady_clock::now() - start;
    reader.join();
    ASSERT_TRUE(readAll);
    EXPECT_EQ(server.lines(),
              (std::vector<std::string>{"first", "s0", "s1", "s2", "s3", "s4", "s5"}));
    // A write at most once an interval, and one for the lines left at the end.
    EXPECT_LE(server.reads() - readsBefore,
              static_cast<std::size_t>(2 + span / options.batchInterval));
}

// Flush and Shutdown wait as long as asked, however long: the longest
// timeouts neither overflow into no wait nor are cut to 32 bits.
TEST(ClientAgainstServer, TheLongestTimeoutsAreWaitedInFull) {
    TestPipeServer server;
    ASSERT_TRUE(server.Create());
    DebugClientOptions options;
    options.flushTimeout = std::chrono::milliseconds((1LL << 32) + 1);
    DebugClient client(options);
    const std::string body(999, 'q');
    const auto queueMoreThanThePipeHolds = [&] {
        for (int i = 0; i < 300; ++i) {
            client.Line(body);
        }
    };
    queueMoreThanThePipeHolds();
    ASSERT_TRUE(server.WaitForClient());
    bool flushed = false;
    std::thread flusher([&] { flushed = client.Flush(std::chrono::milliseconds::max()); });
    ASSERT_TRUE(server.ReadLines(300));
    flusher.join();
    EXPECT_TRUE(flushed);

    queueMoreThanThePipeHolds();
    std::thread stopper([&] { client.Shutdown(); });
    ASSERT_TRUE(server.ReadUntilClosed());  // everything, however long the server takes
    stopper.join();
    EXPECT_EQ(server.lines().size(), 600u);
    EXPECT_EQ(std::count(server.lines().begin(), server.lines().end(), body), 600);
}

// The writer keeps retrying whatever keeps it from the console, and says why.
TEST(ClientAgainstServer, StatusSaysWhyNothingIsDelivered) {
    const auto statusBecomes = [](const DebugClient& client, DeliveryStatus wanted) {
        return test::WaitUntil([&] { return client.Status() == wanted; });
    };
    DebugClient client;
    EXPECT_EQ(client.Status(), DeliveryStatus::kStarting);  // nothing to send yet
    client.Line("at last");
    ASSERT_TRUE(statusBecomes(client, DeliveryStatus::kNoConsole));
    EXPECT_EQ(client.StatusError(), static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
    {
        // A pipe this client may not open for writing, as a console's that runs
        // elevated is for a host that doesn't.
        UniqueFileHandle denied(
            CreateNamedPipeW(kPipeName, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr));
        ASSERT_TRUE(denied);
        ASSERT_TRUE(statusBecomes(client, DeliveryStatus::kAccessDenied));
        EXPECT_EQ(client.StatusError(), static_cast<unsigned long>(ERROR_ACCESS_DENIED));
    }
    {
        TestPipeServer server;
        ASSERT_TRUE(server.Create());
        ConsolePipe other;
        ASSERT_EQ(other.Open(test::kPatience), ConsolePipe::Opened::kOpened);
        ASSERT_TRUE(statusBecomes(client, DeliveryStatus::kPipeBusy));
        EXPECT_EQ(client.StatusError(), static_cast<unsigned long>(ERROR_PIPE_BUSY));
    }
    TestPipeServer server;
    ASSERT_TRUE(server.Create());
    ASSERT_TRUE(server.WaitForClient());
    ASSERT_TRUE(server.ReadLines(1));
    EXPECT_EQ(server.lines(), (std::vector<std::string>{"at last"}));
    EXPECT_EQ(client.Status(), DeliveryStatus::kConnected);
    EXPECT_EQ(client.StatusError(), 0u);
    client.Shutdown();
    EXPECT_EQ(client.Status(), DeliveryStatus::kShutDown);
}

// Whoever serves the pipe's name, a squatter too, may identify the client but
// never act as it.
TEST(ClientAgainstServer, TheServerCannotActAsTheClient) {
    TestPipeServer server;
    ASSERT_TRUE(server.Create());
    ConsolePipe pipe;
    ASSERT_EQ(pipe.Open(test::kPatience), ConsolePipe::Opened::kOpened);
    ASSERT_TRUE(server.WaitForClient());
    ASSERT_EQ(pipe.Write("who am I\n"), ConsolePipe::Written::kAll);
    ASSERT_TRUE(server.ReadLines(1));  // the system impersonates whoever wrote what was read
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    ASSERT_TRUE(server.ClientImpersonationLevel(level));
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
        GTEST_SKIP() << "Wine gives the server its own token at full level (" << level
                     << "), whatever the client allowed";
    }
    EXPECT_LE(level, SecurityIdentification);
}

}  // namespace
}  // namespace nemora
