// nemora-relay: serves a pipe to any number of clients (and with
// --debug-output the OutputDebugString channel) and forwards everything to the
// console over one connection. See UsageText() for what it does and its exit
// codes.

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/nemora_client.h"
#include "driver/unique_handle.h"
#include "tools/relay_debug_output.h"
#include "tools/relay_lines.h"
#include "tools/relay_options.h"
#include "tools/relay_server.h"

namespace nemora::relay {
namespace {

// How long the ending relay waits for its lines to reach the console.
constexpr std::chrono::milliseconds kFlushOnEnd{2000};
// The relay's buffer towards the console. The console reads its pipe even
// while its window stalls, so this fills only while the relay takes lines in
// faster than the console's pipe reader, in bursts. It is large because a
// notice of lines dropped here travels to the console like any line, and the
// console's own queue may drop it as one line among many: the lines it stood
// for would then go unannounced.
constexpr std::size_t kBufferedLines = std::size_t{1} << 18;
constexpr std::size_t kBufferedBytes = std::size_t{32} << 20;
// While lines keep coming the relay writes to the console once a frame: the
// console then draws once for many lines instead of for every few, which
// leaves the cores to the programs whose OutputDebugString calls wait on the
// relay's reader. A line shows at most a frame later; the first after a
// quarter second's quiet goes at once.
constexpr std::chrono::milliseconds kForwardInterval{16};
// How long a closing window's handler waits for the relay to end cleanly (the
// system ends the process when the handler returns, and after about 5 s anyway).
constexpr DWORD kCloseGraceMs = 4000;

// Set by the console control handler; the main thread ends the relay.
HANDLE stopRequested = nullptr;
// Set by the main thread once the relay has ended cleanly.
HANDLE ended = nullptr;

BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            SetEvent(stopRequested);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // The process ends when this returns: first let the main thread give
            // back the channel and release the console's pipe.
            SetEvent(stopRequested);
            WaitForSingleObject(ended, kCloseGraceMs);
            return TRUE;
        default:
            return FALSE;
    }
}

void PrintError(const std::string& message) {
    std::fputs(("nemora-relay: " + message + "\n").c_str(), stderr);
}

// The relay's one client of the console: always the console's own pipe,
// never a relay (this one).
class ConsoleOutput : public RelayOutput {
  public:
    ConsoleOutput() : client_(Options()) {}
    void Line(std::string_view line) override { client_.Line(line); }
    void Fps(double reading) override { client_.Fps(reading); }
    void Shutdown() { client_.Shutdown(); }
    std::uint64_t Dropped() const { return client_.DroppedLines(); }

  private:
    static DebugClientOptions Options() {
        DebugClientOptions options;
        options.flushTimeout = kFlushOnEnd;
        options.viaRelay = false;
        options.maxBufferedLines = kBufferedLines;
        options.maxBufferedBytes = kBufferedBytes;
        options.batchInterval = kForwardInterval;
        return options;
    }
    DebugClient client_;
};

// Starts a debug output reader; an exit code if it could not.
std::optional<int> StartReader(DebugOutputReader& reader, bool global) {
    const std::string channel = global ? "the Global\\ debug output channel (services)"
                                       : "the session's debug output channel";
    switch (reader.Start()) {
        case DebugOutputReader::Opened::kOpened:
            return std::nullopt;
        case DebugOutputReader::Opened::kInUse:
            PrintError("another program (a debugger or a debug output viewer) already reads " +
                       channel + "; close it and start the relay again");
            return kExitDebugOutputBusy;
        case DebugOutputReader::Opened::kDenied:
            PrintError("can't read " + channel +
                       ": --global needs the relay to run as administrator (elevated)");
            return kExitGlobalDenied;
        case DebugOutputReader::Opened::kFailed:
            break;
    }
    PrintError("can't open " + channel + " (error " + std::to_string(reader.Error()) + ")");
    return kExitDebugOutputBusy;
}

int Run(std::span<const std::wstring_view> args) {
    const ParseResult parsed = ParseRelayOptions(args);
    if (!parsed.ok()) {
        PrintError(parsed.error);
        std::fputs("Try 'nemora-relay --help'.\n", stderr);
        return kExitUsage;
    }
    const RelayOptions& options = parsed.options;
    if (options.help) {
        std::fwrite(UsageText().data(), 1, UsageText().size(), stdout);
        return kExitOk;
    }

    const UniqueHandle instance(CreateMutexW(nullptr, FALSE, kRelayInstanceName));
    if (!instance || GetLastError() == ERROR_ALREADY_EXISTS) {
        PrintError("another relay is already running in this session; it goes on");
        return kExitAlreadyRunning;
    }
    const UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    stopRequested = stop.get();
    ended = done.get();
    SetConsoleCtrlHandler(nullptr, FALSE);  // Ctrl+C counts even when started in a group of its own
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    const ProcessFilter filter(options.pids, options.processNames);
    ConsoleOutput console;
    int exitCode = kExitOk;
    {
        PipeServer server(console, filter);
        std::vector<std::unique_ptr<DebugOutputReader>> readers;
        switch (server.Start()) {
            case PipeServer::Started::kServing:
                break;
            case PipeServer::Started::kNameTaken:
                PrintError("another process already serves " + std::string(kRelayPipeNameUtf8));
                exitCode = kExitPipeFailed;
                break;
            case PipeServer::Started::kFailed:
                PrintError("can't serve " + std::string(kRelayPipeNameUtf8) + " (error " +
                           std::to_string(server.Error()) + ")");
                exitCode = kExitPipeFailed;
                break;
        }
        for (const bool global : {false, true}) {
            if (exitCode != kExitOk || !(global ? options.global : options.debugOutput)) {
                continue;
            }
            auto& reader =
                readers.emplace_back(std::make_unique<DebugOutputReader>(global, console, filter));
            if (const auto failed = StartReader(*reader, global)) {
                exitCode = *failed;
            }
        }
        if (exitCode == kExitOk) {
            console.Line(kRelayStartedLine);
            std::fprintf(stderr, "nemora-relay: serving %s; Ctrl+C ends it\n",
                         std::string(kRelayPipeNameUtf8).c_str());
            WaitForSingleObject(stop.get(), INFINITE);
        }
        readers.clear();  // the channels go back first: no writer waits while the rest ends
        server.Stop();
        if (exitCode == kExitOk) {
            console.Line(kRelayStoppedLine);
        }
    }
    console.Shutdown();  // flushes (bounded), then releases the console's pipe
    if (const std::uint64_t dropped = console.Dropped()) {
        std::fprintf(stderr, "nemora-relay: %llu lines dropped on the way to the console\n",
                     static_cast<unsigned long long>(dropped));
    }
    SetEvent(done.get());
    return exitCode;
}

}  // namespace
}  // namespace nemora::relay

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return nemora::relay::Run(args);
}
