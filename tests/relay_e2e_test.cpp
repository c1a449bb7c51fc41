// nemora-relay end to end: the real relay and the real console, each a
// process of its own, the relay's clients writing to it at once, the view
// read from outside as a user sees it.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "driver/console_process.h"
#include "driver/wait.h"
#include "tests/support/line_lists.h"
#include "tests/support/relay_runner.h"
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
        ASSERT_TRUE(StartRelayFor(console, relay));
    }
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
    ASSERT_TRUE(b.Connect(10s, kRelayPipeName));
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

}  // namespace
}  // namespace nemora::test
