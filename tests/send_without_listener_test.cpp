// nemora-send where this process runs no listener: with no console at all,
// and against another server of the pipe name that goes away.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

#include "client/nemora_protocol.h"
#include "tests/support/send_runner.h"
#include "tools/send_options.h"

namespace nemora {
namespace {

using namespace std::chrono_literals;

constexpr char kNoConsole[] = "nemora-send: no console is listening on " NEMORA_PIPE_NAME "\n";

TEST(NemoraSendWithoutConsole, SaysSoInOneLineAndExitsTwo) {
    test::ChildProcess send;
    ASSERT_TRUE(test::StartSend(send, L"hello"));
    EXPECT_EQ(send.WaitForExit(10s), std::optional<DWORD>(send::kExitNoConsole));
    EXPECT_EQ(test::TrimmedLines(send.Stderr()), kNoConsole);
    EXPECT_EQ(send.Stdout(), "");
}

TEST(NemoraSendWithoutConsole, ForwardingStandardInputSaysTheSame) {
    test::ChildProcess send;
    ASSERT_TRUE(test::StartSend(send, L""));
    ASSERT_TRUE(send.WriteStdin("lost\n"));
    EXPECT_EQ(send.WaitForExit(10s), std::optional<DWORD>(send::kExitNoConsole));
    EXPECT_EQ(test::TrimmedLines(send.Stderr()), kNoConsole);
}

// The server goes away while nemora-send still has input to forward.
TEST(NemoraSendToAServerThatGoes, ReportsTheFailedWriteAndExitsOne) {
    test::ChildProcess holder;
    ASSERT_TRUE(holder.Start(test::BesideThisExecutable(L"pipe_holder.exe"), L""));
    auto said = [&holder](const char* word) {
        return holder.Stdout().find(word) != std::string::npos;
    };
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         !said("ready") && holder.Running() && std::chrono::steady_clock::now() < deadline;) {
        Sleep(5);
    }
    ASSERT_TRUE(said("ready")) << holder.Stderr();

    test::ChildProcess send;
    ASSERT_TRUE(test::StartSend(send, L""));
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         !said("connected") && send.Running() && std::chrono::steady_clock::now() < deadline;) {
        Sleep(5);
    }
    ASSERT_TRUE(said("connected")) << send.Stderr();
    holder.CloseStdin();
    ASSERT_EQ(holder.WaitForExit(10s), std::optional<DWORD>(0));

    ASSERT_TRUE(send.WriteStdin("into the void\n"));
    EXPECT_EQ(send.WaitForExit(10s), std::optional<DWORD>(send::kExitIoFailed));
    const std::string error = test::TrimmedLines(send.Stderr());
    EXPECT_TRUE(error.starts_with("nemora-send: writing to the console failed (error ")) << error;
    EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
}

}  // namespace
}  // namespace nemora
