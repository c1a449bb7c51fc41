// nemora-send with no console listening: this process never starts a listener.

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>

#include "tests/support/send_runner.h"
#include "tools/send_options.h"

namespace nemora {
namespace {

using namespace std::chrono_literals;

constexpr char kNoConsole[] = "nemora-send: no console is listening on \\\\.\\pipe\\nemora-debug\n";

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

}  // namespace
}  // namespace nemora
