// nemora-send end to end: the real executable, started as a child process,
// writing to the real listener on a thread of this test.

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "handoff/handoff.h"
#include "intake/pipe_listener.h"
#include "tests/support/listener_harness.h"
#include "tests/support/send_runner.h"
#include "tools/send_options.h"

namespace nemora {
namespace {

using namespace std::chrono_literals;
using test::LinesThrough;
using Lines = std::vector<Line>;
using ExitCode = std::optional<DWORD>;

class NemoraSend : public ::testing::Test {
  protected:
    void SetUp() override { test::EnsureListener(); }
};

TEST_F(NemoraSend, WritesEachArgumentAsOneUtf8Line) {
    test::ChildProcess send;
    ASSERT_TRUE(test::StartSend(send, L"hello \"two words\" \"\" w\u00F6rld\u2713\U0001F600"));
    EXPECT_EQ(send.WaitForExit(10s), ExitCode(send::kExitOk)) << send.Stderr();
    EXPECT_EQ(send.Stderr(), "");
    EXPECT_EQ(LinesThrough(kDisconnectedLine),
              (Lines{kConnectedLine, "hello", "two words", "",
                     "w\xC3\xB6rld\xE2\x9C\x93\xF0\x9F\x98\x80", kDisconnectedLine}));
}

TEST_F(NemoraSend, ForwardsStandardInputByteForByteUntilItEnds) {
    test::ChildProcess send;
    ASSERT_TRUE(test::StartSend(send, L""));
    // Each piece shows up while the input is still open: nothing waits for a full buffer.
    ASSERT_TRUE(send.WriteStdin("one\r\n"));
    EXPECT_EQ(LinesThrough("one"), (Lines{kConnectedLine, "one"}));
    ASSERT_TRUE(send.WriteStdin("tw"));
    ASSERT_TRUE(send.WriteStdin("o\n\xFF\x01 raw\nFPS:42\n"));
    EXPECT_EQ(LinesThrough("\xFF\x01 raw"), (Lines{"two", "\xFF\x01 raw"}));
    EXPECT_TRUE(send.Running());
    send.CloseStdin();
    EXPECT_EQ(send.WaitForExit(10s), ExitCode(send::kExitOk)) << send.Stderr();
    EXPECT_EQ(LinesThrough(kDisconnectedLine), Lines{kDisconnectedLine});
    EXPECT_EQ(latestFps.load(), 42.0);
}

TEST_F(NemoraSend, ForwardsALargeInputWhole) {
    std::string input;
    Lines expected{kConnectedLine};
    for (int i = 0; i < 2000; ++i) {
        expected.push_back("line " + std::to_string(i) + std::string(i % 97, '.'));
        input += expected.back() + "\n";
    }
    expected.push_back(kDisconnectedLine);
    test::ChildProcess send;
    ASSERT_TRUE(test::StartSend(send, L""));
    ASSERT_TRUE(send.WriteStdin(input));
    send.CloseStdin();
    EXPECT_EQ(send.WaitForExit(10s), ExitCode(send::kExitOk)) << send.Stderr();
    EXPECT_EQ(LinesThrough(kDisconnectedLine), expected);
}

TEST_F(NemoraSend, FpsReadingGoesToTheSlotNotTheLines) {
    test::ChildProcess send;
    ASSERT_TRUE(test::StartSend(send, L"--fps 59.7"));
    EXPECT_EQ(send.WaitForExit(10s), ExitCode(send::kExitOk)) << send.Stderr();
    EXPECT_EQ(LinesThrough(kDisconnectedLine), (Lines{kConnectedLine, kDisconnectedLine}));
    EXPECT_EQ(latestFps.load(), 59.7);
}

TEST_F(NemoraSend, WaitsForTheClientHoldingThePipeToGo) {
    test::PipeClient holder;
    ASSERT_TRUE(holder.Connect());
    ASSERT_EQ(LinesThrough(kConnectedLine), Lines{kConnectedLine});

    test::ChildProcess send;
    ASSERT_TRUE(test::StartSend(send, L"--wait 20 queued"));
    // Still waiting, not given up, while the pipe is held.
    EXPECT_EQ(send.WaitForExit(1s), std::nullopt);
    ASSERT_TRUE(holder.Write("held\n"));
    holder.Close();

    EXPECT_EQ(send.WaitForExit(20s), ExitCode(send::kExitOk)) << send.Stderr();
    EXPECT_EQ(LinesThrough(kDisconnectedLine), (Lines{"held", kDisconnectedLine}));
    EXPECT_EQ(LinesThrough(kDisconnectedLine),
              (Lines{kConnectedLine, "queued", kDisconnectedLine}));
}

TEST_F(NemoraSend, GivesUpOnAPipeHeldLongerThanItsWait) {
    test::PipeClient holder;
    ASSERT_TRUE(holder.Connect());
    ASSERT_EQ(LinesThrough(kConnectedLine), Lines{kConnectedLine});

    test::ChildProcess send;
    ASSERT_TRUE(test::StartSend(send, L"--wait 1 never"));
    EXPECT_EQ(send.WaitForExit(15s), ExitCode(send::kExitBusyTimeout));
    EXPECT_EQ(test::TrimmedLines(send.Stderr()),
              "nemora-send: another client held " NEMORA_PIPE_NAME
              " for 1 s; gave up "
              "waiting\n");

    // The holder was never disturbed, and nothing of the refused client arrived.
    ASSERT_TRUE(holder.Write("still here\n"));
    holder.Close();
    EXPECT_EQ(LinesThrough(kDisconnectedLine), (Lines{"still here", kDisconnectedLine}));
}

TEST_F(NemoraSend, HelpPrintsUsageAndSendsNothing) {
    test::ChildProcess send;
    ASSERT_TRUE(test::StartSend(send, L"--help"));
    EXPECT_EQ(send.WaitForExit(10s), ExitCode(send::kExitOk));
    EXPECT_EQ(test::TrimmedLines(send.Stdout()), std::string(send::UsageText()));
    EXPECT_EQ(test::LinesWithin(300ms), Lines{});
}

TEST_F(NemoraSend, BadCommandLineIsRefusedBeforeTheConsoleIsReached) {
    test::ChildProcess send;
    ASSERT_TRUE(test::StartSend(send, L"--wait soon text"));
    EXPECT_EQ(send.WaitForExit(10s), ExitCode(send::kExitUsage));
    const std::string error = test::TrimmedLines(send.Stderr());
    EXPECT_TRUE(error.starts_with("nemora-send: --wait takes whole seconds")) << error;
    EXPECT_TRUE(error.ends_with("Try 'nemora-send --help'.\n")) << error;
    EXPECT_EQ(test::LinesWithin(300ms), Lines{});
}

}  // namespace
}  // namespace nemora
