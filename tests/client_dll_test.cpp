// The client library inside a DLL and inside host processes that end while a
// client is still alive: nothing may hang the host or crash it.

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "client/nemora_client.h"
#include "tests/client_support.h"

namespace nemora {
namespace {

using namespace std::chrono_literals;
using test::ConsoleIntake;
using test::TestPipeServer;

std::wstring NextToThisExe(const wchar_t* name) {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1) + name;
}

// What client_exit_probe detach exits with when all went well.
constexpr DWORD kDetachExitCode = 7;

struct Ended {
    bool ended = false;
    DWORD exitCode = 0;
    double ms = 0;
};

// Runs client_exit_probe with the arguments and waits (bounded) for its end.
Ended RunExitProbe(const std::wstring& arguments) {
    const std::wstring exe = NextToThisExe(L"client_exit_probe.exe");
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        return {};
    }
    UniqueHandle processHandle(process.hProcess);
    UniqueHandle threadHandle(process.hThread);
    const auto start = std::chrono::steady_clock::now();
    Ended result;
    result.ended =
        WaitForSingleObject(processHandle.get(), static_cast<DWORD>(test::kPatience.count())) ==
        WAIT_OBJECT_0;
    result.ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (!result.ended) {
        TerminateProcess(processHandle.get(), 99);
    }
    GetExitCodeProcess(processHandle.get(), &result.exitCode);
    return result;
}

TEST(ClientInADll, MadeUsedDestroyedAndUnloadedWhileTheHostRunsOn) {
    ConsoleIntake console;
    ASSERT_TRUE(console.WaitUntilListening());
    HMODULE dll = LoadLibraryW(NextToThisExe(L"client_probe.dll").c_str());
    ASSERT_NE(dll, nullptr);
    using Start = void (*)();
    using LineOf = void (*)(const char*);
    auto start =
        reinterpret_cast<Start>(reinterpret_cast<void*>(GetProcAddress(dll, "ProbeStart")));
    auto line = reinterpret_cast<LineOf>(reinterpret_cast<void*>(GetProcAddress(dll, "ProbeLine")));
    auto stop = reinterpret_cast<Start>(reinterpret_cast<void*>(GetProcAddress(dll, "ProbeStop")));
    ASSERT_TRUE(start && line && stop);
    start();
    line("from the dll");
    line("FPS:1 from the dll");
    stop();
    ASSERT_TRUE(FreeLibrary(dll));

    // The DLL's writer thread is gone with it; the host goes on and a new client works.
    ASSERT_TRUE(console.WaitFor(kDisconnectedLine));
    DebugClient client;
    client.Line("from the host");
    ASSERT_TRUE(console.WaitFor("from the host"));
    EXPECT_EQ(console.Lines(),
              (std::vector<Line>{kConnectedLine, "from the dll", " FPS:1 from the dll",
                                 kDisconnectedLine, kConnectedLine, "from the host"}));
}

// The host exits with the DLL's writer blocked in a write on a full pipe: the
// system ends the thread, and the static client's destructor must notice and
// not wait for it.
TEST(ClientInADll, TheHostExitsWhileTheWriterIsStuckOnAFullPipe) {
    TestPipeServer server;
    ASSERT_TRUE(server.Create());
    // The probe connects as it starts writing; the server never reads.
    const std::wstring text(999, L'w');
    Ended ended;
    std::thread accept([&] { server.WaitForClient(); });
    ended = RunExitProbe(L"dll " + text + L" 200 1");
    accept.join();
    std::printf("host exit with the writer stuck: %.1f ms\n", ended.ms);
    ASSERT_TRUE(ended.ended);
    EXPECT_EQ(ended.exitCode, 0u);
    EXPECT_GT(server.BytesWaiting(), 0u);  // it did fill the pipe
}

TEST(ClientInADll, TheHostExitsWhileNoConsoleIsThere) {
    const Ended ended = RunExitProbe(L"dll unheard 1000 0");
    std::printf("host exit with no console: %.1f ms\n", ended.ms);
    ASSERT_TRUE(ended.ended);
    EXPECT_EQ(ended.exitCode, 0u);
}

// Shutdown gives up on a writer that has not ended in time and the host unloads
// the DLL at once: the writer must still find its code when it runs again, and
// take the DLL with it when it ends. In each state that holds it up:
TEST(ClientInADll, UnloadedRightAfterAShutdownThatGaveUpOnTheWriter) {
    const auto unloaded = [](DeliveryStatus state) {
        const Ended ended = RunExitProbe(L"unload " + std::to_wstring(static_cast<int>(state)));
        EXPECT_TRUE(ended.ended);
        return ended.exitCode;
    };
    EXPECT_EQ(unloaded(DeliveryStatus::kNoConsole), 0u);  // backing off
    TestPipeServer server;                                // reads nothing
    ASSERT_TRUE(server.Create());
    EXPECT_EQ(unloaded(DeliveryStatus::kConnected), 0u);  // waiting for room in the pipe
    server.Close();
    ASSERT_TRUE(server.Create());
    ConsolePipe holder;
    ASSERT_EQ(holder.Open(test::kPatience), ConsolePipe::Opened::kOpened);
    EXPECT_EQ(unloaded(DeliveryStatus::kPipeBusy), 0u);  // waiting for the other client to go
}

// At process exit the system may have ended the writer while it held the
// client's lock; the DLL then logs from DLL_PROCESS_DETACH. The host must still
// exit, with its own exit code.
TEST(ClientInADll, LinesFromDllMainAtExitAfterTheWriterDiedHoldingTheLock) {
    const Ended ended = RunExitProbe(L"detach");
    ASSERT_TRUE(ended.ended);
    EXPECT_EQ(ended.exitCode, kDetachExitCode);
}

// In an executable, static objects are destroyed before the system ends the
// threads: the client flushes as usual.
TEST(ClientInAnExe, AStaticClientFlushesAtExit) {
    ConsoleIntake console;
    ASSERT_TRUE(console.WaitUntilListening());
    const Ended ended = RunExitProbe(L"exe last-words");
    ASSERT_TRUE(ended.ended);
    EXPECT_EQ(ended.exitCode, 0u);
    ASSERT_TRUE(console.WaitFor(kDisconnectedLine));
    EXPECT_EQ(console.Lines(),
              (std::vector<Line>{kConnectedLine, "last-words", kDisconnectedLine}));
}

}  // namespace
}  // namespace nemora
