// nemora-send: writes lines, a frame-rate reading or its standard input to
// the console's pipe. See UsageText() for what it does and its exit codes.

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "client/nemora_client.h"
#include "client/nemora_relay_routing.h"
#include "tools/send_options.h"

namespace nemora::send {
namespace {

constexpr DWORD kStdinChunk = 4096;

void PrintError(const std::string& message) {
    std::fputs(("nemora-send: " + message + "\n").c_str(), stderr);
}

std::string SystemMessage(DWORD error) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = "error " + std::to_string(error);
    if (length > 0 && text != nullptr) {
        std::string_view described(text, length);
        while (!described.empty() && (described.back() == '\n' || described.back() == '\r' ||
                                      described.back() == ' ' || described.back() == '.')) {
            described.remove_suffix(1);
        }
        message += ": " + std::string(described);
    }
    LocalFree(text);
    return message;
}

// Bytes go as they are and a failed write is reported: this is not DebugClient::Line,
// which escapes "FPS:" lines and drops under pressure.
int Send(ConsolePipe& pipe, std::string_view bytes) {
    if (pipe.Write(bytes) != ConsolePipe::Written::kAll) {
        PrintError("writing to the console failed (" + SystemMessage(pipe.Error()) + ")");
        return kExitIoFailed;
    }
    return kExitOk;
}

int SendLines(ConsolePipe& pipe, const std::vector<std::string>& lines) {
    std::string bytes;
    for (const std::string& line : lines) {
        bytes += line;
        bytes += '\n';
    }
    return Send(pipe, bytes);
}

// Forwards each piece as soon as a read returns it, so a slow producer's
// lines show up as they are made.
int ForwardInput(ConsolePipe& pipe) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
        return kExitOk;  // no standard input at all: nothing to forward
    }
    std::vector<char> buffer(kStdinChunk);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(input, buffer.data(), kStdinChunk, &read, nullptr)) {
            const DWORD error = GetLastError();
            if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) {
                return kExitOk;  // the producer closed its end: that is the end of input
            }
            PrintError("reading standard input failed (" + SystemMessage(error) + ")");
            return kExitIoFailed;
        }
        if (read == 0) {
            return kExitOk;
        }
        if (const int failed = Send(pipe, std::string_view(buffer.data(), read))) {
            return failed;
        }
    }
}

int Run(std::span<const std::wstring_view> args) {
    const ParseResult parsed = ParseSendOptions(args);
    if (!parsed.ok()) {
        PrintError(parsed.error);
        std::fputs("Try 'nemora-send --help'.\n", stderr);
        return kExitUsage;
    }
    const SendOptions& options = parsed.options;
    if (options.help) {
        std::fwrite(UsageText().data(), 1, UsageText().size(), stdout);
        return kExitOk;
    }

    // Through a running relay, so that these lines show beside every other
    // program's; straight to the console otherwise.
    ConsolePipe pipe;
    bool viaRelay = false;
    const ConsolePipe::Opened opened = OpenRelayOrConsole(
        pipe, std::chrono::seconds(options.waitSeconds), ConsolePipe::kAbsentGrace, &viaRelay);
    const std::string name(viaRelay ? kRelayPipeNameUtf8 : kPipeNameUtf8);
    switch (opened) {
        case ConsolePipe::Opened::kOpened:
            break;
        case ConsolePipe::Opened::kNoConsole:
            PrintError("no console is listening on " + name);
            return kExitNoConsole;
        case ConsolePipe::Opened::kBusyTimeout:
            PrintError("another client held " + name + " for " +
                       std::to_string(options.waitSeconds) + " s; gave up waiting");
            return kExitBusyTimeout;
        case ConsolePipe::Opened::kFailed:
            PrintError("can't open " + name + " (" + SystemMessage(pipe.Error()) + ")");
            return kExitOpenFailed;
    }
    return options.lines.empty() ? ForwardInput(pipe) : SendLines(pipe, options.lines);
}

}  // namespace
}  // namespace nemora::send

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return nemora::send::Run(args);
}
