// nemora-relay end to end: the real relay and the real console, each a
// process of its own, the relay's clients writing to it at once, the view
// read from outside as a user sees it.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <optional>
#include <string>
#include <vector>

#include "client/nemora_client.h"
#include "driver/console_process.h"
#include "driver/numbered_lines.h"
#include "driver/observers.h"
#include "driver/wait.h"
#include "tests/support/delivered.h"
#include "tests/support/line_lists.h"
#include "tests/support/relay_runner.h"
#include "tests/support/send_runner.h"
#include "tools/relay_options.h"

namespace nemora::test {
namespace {

using ExitCode = std::optional<DWORD>;

// Longer than any wait below should take on a loaded machine.
constexpr std::chrono::milliseconds kPatience = 30s;

// The view's lines that start with the prefix, the prefix taken off.
std::vector<std::wstring> Relayed(const std::vector<std::wstring>& view,
                                  const std::wstring& prefix) {
    std::vector<std::wstring> lines;
    for (const std::wstring& line : view) {
        if (line.starts_with(prefix)) {
            lines.push_back(line.substr(prefix.size()));
        }
    }
    return lines;
}

std::size_t CountOf(const std::vector<std::wstring>& view, const std::wstring& line) {
    return static_cast<std::size_t>(std::count(view.begin(), view.end(), line));
}

// A stream's text cut into pieces of `piece` bytes, none ending on a line end.
std::vector<std::string> Pieces(const std::vector<std::string>& lines, std::size_t piece) {
    std::string all;
    for (const std::string& line : lines) {
        all += line + "\n";
    }
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < all.size(); at += piece) {
        pieces.push_back(all.substr(at, piece));
    }
    return pieces;
}

TEST(RelayCommandLine, HelpListsTheExitCodesAndABadLineSaysWhy) {
    ChildProcess help;
    ASSERT_TRUE(StartRelay(help, L"--help"));
    EXPECT_EQ(help.WaitForExit(10s), ExitCode(relay::kExitOk));
    EXPECT_NE(help.Stdout().find("Exit codes:"), std::string::npos) << help.Stdout();
    ChildProcess bad;
    ASSERT_TRUE(StartRelay(bad, L"--pid none"));
    EXPECT_EQ(bad.WaitForExit(10s), ExitCode(relay::kExitUsage));
    EXPECT_NE(bad.Stderr().find("--pid takes a process id"), std::string::npos) << bad.Stderr();
}

class Relay : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(console.Start());
        ASSERT_TRUE(StartRelayFor(console, relay, Arguments()));
    }
    virtual std::wstring Arguments() const { return L""; }
    void TearDown() override {
        if (relay.Running()) {
            EXPECT_TRUE(SendConsoleControl(relay.Pid(), CTRL_C_EVENT));
            EXPECT_EQ(relay.WaitForExit(10s), ExitCode(relay::kExitOk)) << relay.Stderr();
        }
    }

    const DWORD self = GetCurrentProcessId();
    const std::wstring name = OwnImageName();
    const std::wstring prefix = RelayPrefix(self, name);
    ConsoleProcess console;
    ChildProcess relay;
};

// Two clients write at once, their writes alternating and cutting lines
// anywhere: each client's lines show whole, in its own order, under its
// prefix; what one leaves unfinished is never joined to the other's.
TEST_F(Relay, TwoClientsAtOnceShowEachInItsOwnOrder) {
    PipeClient a;
    PipeClient b;
    ASSERT_TRUE(a.Connect(10s, kRelayPipeName));
    // The relay offers the next instance of its pipe before it announces a
    // client: the second gets in at its first attempt, with no wait.
    ASSERT_TRUE(console.WaitForText(RelayArrival(self, name), kPatience));
    ASSERT_TRUE(b.Connect(1ms, kRelayPipeName)) << "one attempt, error " << GetLastError();
    const auto linesA = NumberedList("A ", 0, 2000);
    const auto linesB = NumberedList("B ", 0, 2000);
    const auto piecesA = Pieces(linesA, 37);
    const auto piecesB = Pieces(linesB, 53);
    for (std::size_t i = 0; i < std::max(piecesA.size(), piecesB.size()); ++i) {
        if (i < piecesA.size()) {
            ASSERT_TRUE(a.Write(piecesA[i]));
        }
        if (i < piecesB.size()) {
            ASSERT_TRUE(b.Write(piecesB[i]));
        }
    }
    ASSERT_TRUE(a.Write("A half"));
    ASSERT_TRUE(b.Write("B whole\nFPS:75\n"));
    ASSERT_TRUE(a.Write(" and the rest\n"));
    ASSERT_TRUE(a.Write("A unfinished at the end"));
    a.Close();
    b.Close();
    const std::wstring departure = RelayDeparture(self, name);
    ASSERT_TRUE(WaitUntil([&] { return CountOf(console.ViewLines(), departure) == 2; }, kPatience));

    const auto view = console.ViewLines();
    EXPECT_EQ(CountOf(view, RelayArrival(self, name)), 2u);
    std::vector<std::wstring> shownA;
    std::vector<std::wstring> shownB;
    for (const std::wstring& line : Relayed(view, prefix)) {
        (line.starts_with(L"A") ? shownA : shownB).push_back(line);
    }
    EXPECT_EQ(shownA, Concat({NumberedList(L"A ", 0, 2000),
                              {L"A half and the rest", L"A unfinished at the end"}}));
    EXPECT_EQ(shownB, Concat({NumberedList(L"B ", 0, 2000), {L"B whole"}}));
    EXPECT_EQ(console.Title(), L"Nemora Debug Console  \u2014  FPS: 75");
}

// A client's unfinished last line shows as its own line when it goes, before
// the next client's first.
TEST_F(Relay, OneClientsUnfinishedLineThenAnotherClient) {
    {
        PipeClient first;
        ASSERT_TRUE(first.Connect(10s, kRelayPipeName));
        ASSERT_TRUE(first.Write("first line\nunfinished"));
    }
    ASSERT_TRUE(console.WaitForText(RelayDeparture(self, name), kPatience));
    {
        PipeClient second;
        ASSERT_TRUE(second.Connect(10s, kRelayPipeName));
        ASSERT_TRUE(second.Write(" second\n"));
    }
    ASSERT_TRUE(WaitUntil(
        [&] { return CountOf(console.ViewLines(), RelayDeparture(self, name)) == 2; }, kPatience));
    EXPECT_EQ(console.ViewLines(),
              (std::vector<std::wstring>{
                  kStart, kConnected, Widen(kRelayStartedLine), RelayArrival(self, name),
                  prefix + L"first line", prefix + L"unfinished", RelayDeparture(self, name),
                  RelayArrival(self, name), prefix + L" second", RelayDeparture(self, name)}));
}

// One relay per session: a second start says so and ends; the first goes on.
TEST_F(Relay, ASecondRelayIsRefusedAndTheFirstGoesOn) {
    ChildProcess second;
    ASSERT_TRUE(StartRelay(second));
    EXPECT_EQ(second.WaitForExit(10s), ExitCode(relay::kExitAlreadyRunning));
    EXPECT_NE(second.Stderr().find("another relay is already running in this session"),
              std::string::npos)
        << second.Stderr();
    PipeClient client;
    ASSERT_TRUE(client.Connect(10s, kRelayPipeName));
    ASSERT_TRUE(client.Write("still relayed\n"));
    EXPECT_TRUE(console.WaitForText(prefix + L"still relayed\r\n", kPatience));
}

// Ctrl+C ends the relay cleanly: a connected client's unfinished line and
// departure are forwarded, the relay says it stopped, lets go of the console
// (which serves its next client) and of its pipe and instance name. (Wine
// delivers neither a Ctrl+Break nor a closed console window as an event; the
// relay handles them the same way.)
TEST_F(Relay, CtrlCEndsItCleanly) {
    PipeClient client;
    ASSERT_TRUE(client.Connect(10s, kRelayPipeName));
    ASSERT_TRUE(client.Write("last words"));
    ASSERT_TRUE(console.WaitForText(RelayArrival(self, name), kPatience));
    ASSERT_TRUE(SendConsoleControl(relay.Pid(), CTRL_C_EVENT));
    EXPECT_EQ(relay.WaitForExit(10s), ExitCode(relay::kExitOk)) << relay.Stderr();
    ASSERT_TRUE(console.WaitForText(kDisconnected, kPatience));
    const auto view = console.ViewLines();
    EXPECT_EQ(std::vector<std::wstring>(view.end() - 4, view.end()),
              (std::vector<std::wstring>{prefix + L"last words", RelayDeparture(self, name),
                                         Widen(kRelayStoppedLine), kDisconnected}));
    EXPECT_EQ(CreateFileW(kRelayPipeName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, kRelayInstanceName), nullptr);
    PipeClient direct;
    ASSERT_TRUE(direct.Connect());
    ASSERT_TRUE(direct.Write("straight to the console\n"));
    EXPECT_TRUE(console.WaitForText(L"\r\nstraight to the console\r\n", kPatience));
}

// While the relay holds the console, nemora-send and a DebugClient write to
// the relay by themselves: their lines show under their prefixes.
TEST_F(Relay, NemoraSendAndADebugClientGoThroughIt) {
    DebugClient client;
    client.Line("from a DebugClient");
    ASSERT_TRUE(Delivered(client, console, prefix + L"from a DebugClient"));
    ChildProcess send;
    ASSERT_TRUE(StartSend(send, L"\"from nemora-send\""));
    EXPECT_EQ(send.WaitForExit(10s), ExitCode(0)) << send.Stderr();
    const std::wstring sendName = L"nemora-send.exe";
    ASSERT_TRUE(console.WaitForText(RelayDeparture(send.Pid(), sendName), kPatience));
    const auto view = console.ViewLines();
    EXPECT_EQ(Relayed(view, RelayPrefix(send.Pid(), sendName)),
              std::vector<std::wstring>{L"from nemora-send"});
    EXPECT_EQ(CountOf(view, RelayArrival(send.Pid(), sendName)), 1u);
}

// The order of connection: a client that was connected straight to the
// console when the relay started lets go of it, so the relay gets the console,
// and goes on through the relay; once the relay has ended, straight to the
// console again.
TEST(RelayOrder, AClientOnTheConsoleMovesToARelayThatStartsAndBackWhenItEnds) {
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    DebugClient client;
    client.Line("before the relay");
    ASSERT_TRUE(Delivered(client, console, L"before the relay"));
    ChildProcess relay;
    ASSERT_TRUE(StartRelayFor(console, relay));
    const std::wstring prefix = RelayPrefix(GetCurrentProcessId(), OwnImageName());
    client.Line("through the relay");
    ASSERT_TRUE(Delivered(client, console, prefix + L"through the relay"));
    ASSERT_TRUE(SendConsoleControl(relay.Pid(), CTRL_C_EVENT));
    EXPECT_EQ(relay.WaitForExit(10s), ExitCode(relay::kExitOk)) << relay.Stderr();
    client.Line("straight again");
    ASSERT_TRUE(Delivered(client, console, L"straight again"));
    const DWORD self = GetCurrentProcessId();
    const std::wstring name = OwnImageName();
    EXPECT_EQ(console.ViewLines(),
              (std::vector<std::wstring>{kStart, kConnected, L"before the relay", kDisconnected,
                                         kConnected, Widen(kRelayStartedLine),
                                         RelayArrival(self, name), prefix + L"through the relay",
                                         RelayDeparture(self, name), Widen(kRelayStoppedLine),
                                         kDisconnected, kConnected, L"straight again"}));
}

// Starts nemora-test-debug-writer: `count` numbered lines of `stream`, with
// OutputDebugStringA ("debug") or to the relay's pipe ("pipe").
bool StartWriter(ChildProcess& child, const wchar_t* mode, char stream, int count) {
    return child.Start(BesideThisExecutable(L"nemora-test-debug-writer.exe"),
                       std::wstring(mode) + L" " + wchar_t(stream) + L" " + std::to_wstring(count));
}

const std::wstring kWriterName = L"nemora-test-debug-writer.exe";

// The numbered lines of a stream, as the view shows them.
std::vector<std::wstring> NumberedLines(char stream, std::uint32_t count) {
    std::vector<std::wstring> lines;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string line;
        AppendNumberedLine(line, stream, i);
        line.pop_back();
        lines.push_back(Widen(line));
    }
    return lines;
}

class RelayWithDebugOutput : public Relay {
  protected:
    std::wstring Arguments() const override { return L"--debug-output"; }
};

// Another process's OutputDebugString calls show under its prefix, each call
// its own line (a final line feed or none); this one's too.
TEST_F(RelayWithDebugOutput, AnotherProcessesDebugOutputShowsWithItsPrefix) {
    ChildProcess writer;
    ASSERT_TRUE(StartWriter(writer, L"debug", 'D', 300));
    EXPECT_EQ(writer.WaitForExit(kPatience), ExitCode(0));
    OutputDebugStringA("from the test, no line feed");
    ASSERT_TRUE(console.WaitForText(prefix + L"from the test, no line feed\r\n", kPatience));
    const auto view = console.ViewLines();
    EXPECT_EQ(Relayed(view, RelayPrefix(writer.Pid(), kWriterName)), NumberedLines('D', 300));
    EXPECT_EQ(Relayed(view, prefix), std::vector<std::wstring>{L"from the test, no line feed"});
}

// --pid keeps one process, from both sources: another process's pipe lines
// and debug output are left out (its pipe connection too), this one's shown.
class RelayForThisProcess : public Relay {
  protected:
    std::wstring Arguments() const override {
        return L"--debug-output --pid " + std::to_wstring(GetCurrentProcessId());
    }
};

TEST_F(RelayForThisProcess, KeepsOnlyTheGivenProcessFromBothSources) {
    ChildProcess debugWriter;
    ChildProcess pipeWriter;
    ASSERT_TRUE(StartWriter(debugWriter, L"debug", 'D', 50));
    ASSERT_TRUE(StartWriter(pipeWriter, L"pipe", 'P', 50));
    EXPECT_EQ(debugWriter.WaitForExit(kPatience), ExitCode(0));
    EXPECT_EQ(pipeWriter.WaitForExit(kPatience), ExitCode(0));
    OutputDebugStringA("kept debug output\n");
    // The two sources are read by threads of their own: one at a time, for one order in the view.
    ASSERT_TRUE(console.WaitForText(prefix + L"kept debug output\r\n", kPatience));
    PipeClient client;
    ASSERT_TRUE(client.Connect(10s, kRelayPipeName));
    ASSERT_TRUE(client.Write("kept pipe line\n"));
    client.Close();
    ASSERT_TRUE(console.WaitForText(RelayDeparture(self, name), kPatience));
    EXPECT_EQ(console.ViewLines(),
              (std::vector<std::wstring>{kStart, kConnected, Widen(kRelayStartedLine),
                                         prefix + L"kept debug output", RelayArrival(self, name),
                                         prefix + L"kept pipe line", RelayDeparture(self, name)}));
}

// The console's window thread stalls while four clients flood the relay and
// another process writes debug output: the writer's calls all return while
// the console is still stalled (none waits on the relay, which waits on
// nobody), and once the console runs again every line lost on the way, by
// the relay's client or by the console, is announced in the view.
TEST_F(RelayWithDebugOutput, AStalledConsoleLosesNothingUnannouncedAndNoWriterWaits) {
    constexpr std::uint32_t kLinesEach = 20'000;
    constexpr std::uint32_t kDebugLines = 3'000;
    constexpr char kStreams[] = {'A', 'B', 'C', 'D'};
    ViewProbe probe;
    ASSERT_TRUE(probe.Attach(console));
    const DWORD windowThreadId = GetWindowThreadProcessId(console.window(), nullptr);
    UniqueHandle windowThread(OpenThread(THREAD_SUSPEND_RESUME, FALSE, windowThreadId));
    ASSERT_TRUE(windowThread);
    ASSERT_NE(SuspendThread(windowThread.get()), static_cast<DWORD>(-1));

    ChildProcess debugWriter;
    ASSERT_TRUE(StartWriter(debugWriter, L"debug", 'E', kDebugLines));
    std::vector<std::thread> floods;
    std::atomic<int> written{0};
    for (const char stream : kStreams) {
        floods.emplace_back([&, stream] {
            PipeClient client;
            if (!client.Connect(10s, kRelayPipeName)) {
                return;
            }
            std::string pending;
            for (std::uint32_t i = 0; i < kLinesEach; ++i) {
                AppendNumberedLine(pending, stream, i);
                if (pending.size() >= 4096 && client.Write(pending)) {
                    pending.clear();
                }
            }
            if (client.Write(pending)) {
                written.fetch_add(1);
            }
        });
    }
    for (std::thread& flood : floods) {
        flood.join();
    }
    EXPECT_EQ(written.load(), 4) << "a flooding client was kept waiting";
    EXPECT_EQ(debugWriter.WaitForExit(kPatience), ExitCode(0))
        << "an OutputDebugString call waited";
    std::printf("REPORT-DETAIL debug writer while stalled: %s", debugWriter.Stdout().c_str());
    ASSERT_EQ(ResumeThread(windowThread.get()), 1u)
        << "the console ran before the writers were done";

    PipeClient last;
    ASSERT_TRUE(last.Connect(10s, kRelayPipeName));
    ASSERT_TRUE(last.Write("after the flood\n"));
    ASSERT_TRUE(console.WaitForText(prefix + L"after the flood\r\n", 60s));
    std::uint64_t shown = 0;
    std::uint64_t skipped = 0;
    for (const char stream : {'A', 'B', 'C', 'D', 'E'}) {
        const auto& counts = probe.stream(stream);
        EXPECT_EQ(counts.disorder.load(), 0u) << stream;
        EXPECT_EQ(counts.damaged.load(), 0u) << stream;
        shown += counts.shown.load();
        skipped += counts.skipped.load();
    }
    const std::uint64_t byClient = probe.counters().clientAnnounced.load();
    const std::uint64_t byConsole = probe.counters().announced.load();
    std::printf(
        "REPORT-DETAIL stalled relay: shown=%llu skipped=%llu client_announced=%llu "
        "console_announced=%llu\n",
        static_cast<unsigned long long>(shown), static_cast<unsigned long long>(skipped),
        static_cast<unsigned long long>(byClient), static_cast<unsigned long long>(byConsole));
    EXPECT_GT(skipped, 0u) << "the flood never filled the way to the stalled console";
    EXPECT_LE(skipped, byClient + byConsole) << "lines lost without a notice";
}

}  // namespace
}  // namespace nemora::test
