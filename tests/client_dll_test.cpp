// The client library inside a DLL and inside host processes that end while a
// client is still alive: nothing may hang the host or crash it. And a host's
// OutputDebugString calls, from any thread and module, taken by its client.

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "client/nemora_client.h"
#include "client/nemora_client_test_hooks.h"
#include "driver/console_process.h"
#include "tests/client_support.h"
#include "tests/support/delivered.h"

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

template <typename Function>
Function Export(HMODULE dll, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

using Start = void (*)();
using LineOf = void (*)(const char*);
using IntCall = int (*)();

TEST(ClientInADll, MadeUsedDestroyedAndUnloadedWhileTheHostRunsOn) {
    ConsoleIntake console;
    ASSERT_TRUE(console.WaitUntilListening());
    HMODULE dll = LoadLibraryW(NextToThisExe(L"client_probe.dll").c_str());
    ASSERT_NE(dll, nullptr);
    auto start = Export<Start>(dll, "ProbeStart");  // a client that captures OutputDebugString
    auto line = Export<LineOf>(dll, "ProbeLine");
    auto stop = Export<Start>(dll, "ProbeStop");
    ASSERT_TRUE(start && line && stop);
    start();
    line("from the dll");
    OutputDebugStringA("from the host's OutputDebugString");
    line("FPS:1 from the dll");
    stop();
    ASSERT_TRUE(FreeLibrary(dll));
    // Its capture went with the client: a call now that found it would run unmapped code.
    OutputDebugStringA("after the unload");

    // The DLL's writer thread is gone with it; the host goes on and a new client works.
    ASSERT_TRUE(console.WaitFor(kDisconnectedLine));
    DebugClient client;
    client.Line("from the host");
    ASSERT_TRUE(console.WaitFor("from the host"));
    EXPECT_EQ(console.Lines(),
              (std::vector<Line>{kConnectedLine, "from the dll",
                                 "from the host's OutputDebugString", " FPS:1 from the dll",
                                 kDisconnectedLine, kConnectedLine, "from the host"}));
}

// OutputDebugStringW as Windows 10 makes it (Wine's goes as the A call): the
// wide exception first, with the text's UTF-16 and ANSI forms. Windows catches
// it if nobody takes it; raised here, it must be taken.
void RaiseAsWindows10Does(std::wstring_view wide, std::string_view ansi) {
    const ULONG_PTR arguments[] = {wide.size() + 1, reinterpret_cast<ULONG_PTR>(wide.data()),
                                   ansi.size() + 1, reinterpret_cast<ULONG_PTR>(ansi.data())};
    RaiseException(0x4001000A, 0, 4, arguments);
}

// `text` in the host's ANSI code page; empty if it can't hold all of it.
std::string Ansi(const std::wstring& text) {
    BOOL lossy = FALSE;
    std::string ansi(text.size() * 2, '\0');
    ansi.resize(static_cast<std::size_t>(WideCharToMultiByte(
        CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()), ansi.data(),
        static_cast<int>(ansi.size()), nullptr, &lossy)));
    return lossy ? std::string() : ansi;
}

// The lines of the view that begin with `prefix`, in view order.
std::vector<std::wstring> Beginning(const std::vector<std::wstring>& lines,
                                    std::wstring_view prefix) {
    std::vector<std::wstring> found;
    for (const std::wstring& line : lines) {
        if (line.starts_with(prefix)) {
            found.push_back(line);
        }
    }
    return found;
}

TEST(DebugOutputCapture, CallsFromThreadsAndADllArriveInOrderWithinEachThread) {
    test::ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    DebugClientOptions options;
    options.captureDebugOutput = true;
    DebugClient client(options);
    ASSERT_TRUE(client.CapturingDebugOutput());
    HMODULE dll = LoadLibraryW(NextToThisExe(L"client_probe.dll").c_str());
    ASSERT_NE(dll, nullptr);
    const auto fromTheDll = Export<LineOf>(dll, "ProbeDebugOutput");
    const auto dllCaptures = Export<IntCall>(dll, "ProbeCaptures");
    ASSERT_TRUE(fromTheDll && dllCaptures);
    // One capture per process, whichever module asks: never a line twice.
    DebugClient second(options);
    EXPECT_FALSE(second.CapturingDebugOutput());
    EXPECT_EQ(dllCaptures(), 0);

    constexpr int kCalls = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([t, fromTheDll] {
            for (int i = 0; i < kCalls; ++i) {
                const std::string n = std::to_string(t) + " " + std::to_string(i);
                OutputDebugStringA(("t" + n + " A").c_str());
                OutputDebugStringW(std::wstring(L"t" + test::Widen(n) + L" W\n").c_str());
                fromTheDll(("t" + n + " dll").c_str());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    // Wide text from the wide form, whatever the ANSI form holds.
    const std::wstring wide = L"C:\\Users\\J\u00f6rg\\\u30b2\u30fc\u30e0 \U0001F600\r\nsecond";
    RaiseAsWindows10Does(wide, "C:\\Users\\J?rg\\??? ??\r\nsecond");
    // ANSI text in the host's code page, where it holds the characters.
    const std::string ansi = Ansi(L"na\u00efve \u00e9t\u00e9");
    OutputDebugStringA(ansi.c_str());
    OutputDebugStringA("two\nlines\n");
    OutputDebugStringA("");
    SetLastError(ERROR_INVALID_DATA);
    OutputDebugStringA("last");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA)) << "the caller's error stays";
    ASSERT_TRUE(test::Delivered(client, console, L"last"));

    const std::vector<std::wstring> lines = console.ViewLines();
    for (int t = 0; t < 2; ++t) {
        const std::wstring prefix = L"t" + std::to_wstring(t) + L" ";
        std::vector<std::wstring> expected;
        for (int i = 0; i < kCalls; ++i) {
            const std::wstring n = prefix + std::to_wstring(i);
            expected.insert(expected.end(), {n + L" A", n + L" W", n + L" dll"});
        }
        EXPECT_EQ(Beginning(lines, prefix), expected) << "thread " << t;
    }
    ASSERT_EQ(lines.size(), 3u + 2 * 3 * kCalls + 7);
    EXPECT_EQ(lines[2], L"client_probe attached");  // from its DllMain, as it was loaded
    EXPECT_EQ(std::vector<std::wstring>(lines.end() - 7, lines.end()),
              (std::vector<std::wstring>{
                  L"C:\\Users\\J\u00f6rg\\\u30b2\u30fc\u30e0 \U0001F600", L"second",
                  ansi.empty() ? std::wstring() : L"na\u00efve \u00e9t\u00e9", L"two", L"lines",
                  L"", L"last"}));
    EXPECT_EQ(client.DroppedLines(), 0u);
    FreeLibrary(dll);
}

// Once its client is shut down, and with a client that doesn't ask for it,
// OutputDebugString goes its usual way: it returns, and the console gets nothing.
TEST(DebugOutputCapture, NothingIsTakenAfterShutdownOrWithCaptureOff) {
    test::ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    DebugClientOptions options;
    options.captureDebugOutput = true;
    {
        DebugClient client(options);
        // A call made while one is being taken goes the usual way: never recursion.
        test_hooks::CallDebugOutputWhileTaking("made while one was taken");
        OutputDebugStringA("captured");
        // So does one made by a thread that holds the client's lock (a host's
        // allocator that reports), rather than wait on that lock for ever.
        test_hooks::CallDebugOutputUnderLock("made under the lock");
        auto queued = std::async(std::launch::async, [&client] { client.Line("queued"); });
        if (queued.wait_for(10s) != std::future_status::ready) {
            ADD_FAILURE() << "a call made under the client's lock waited on it";
            TerminateProcess(GetCurrentProcess(), 1);
        }
        client.Shutdown();
        EXPECT_FALSE(client.CapturingDebugOutput());
        OutputDebugStringA("after shutdown");
        OutputDebugStringW(L"after shutdown, wide");
        const DebugClient next(options);  // the capture is free again, its first client still made
        EXPECT_TRUE(next.CapturingDebugOutput());
    }
    DebugClient plain;
    EXPECT_FALSE(plain.CapturingDebugOutput());
    OutputDebugStringA("with capture off");
    plain.Line("end");
    ASSERT_TRUE(test::Delivered(plain, console, L"end"));
    EXPECT_EQ(console.ViewLines(),
              (std::vector<std::wstring>{test::kStart, test::kConnected, L"captured", L"queued",
                                         test::kDisconnected, test::kConnected, L"end"}));
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
