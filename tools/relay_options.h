#pragma once

// What nemora-relay was asked to do, read from its command line. Plain logic
// with no system calls, so every rule here is testable on its own.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nemora::relay {

// Process exit codes, as --help documents them.
inline constexpr int kExitOk = 0;               // ended by Ctrl+C, Ctrl+Break or its window closing
inline constexpr int kExitPipeFailed = 1;       // the relay's pipe could not be served
inline constexpr int kExitAlreadyRunning = 2;   // another relay runs in this session
inline constexpr int kExitGlobalDenied = 3;     // --global without administrator rights
inline constexpr int kExitUsage = 4;            // the command line was not understood
inline constexpr int kExitDebugOutputBusy = 5;  // another program reads the debug output channel

struct RelayOptions {
    bool help = false;
    bool debugOutput = false;  // the session's OutputDebugString channel
    bool global = false;       // the Global\ channel, where services write
    // Only these processes are relayed (both empty: every process).
    std::vector<std::uint32_t> pids;
    std::vector<std::string> processNames;  // UTF-8 image file names, as given
};

struct ParseResult {
    RelayOptions options;
    std::string error;  // empty when the command line was understood
    bool ok() const { return error.empty(); }
};

// Reads the arguments after the program name.
ParseResult ParseRelayOptions(std::span<const std::wstring_view> args);

// The text --help prints.
std::string_view UsageText();

}  // namespace nemora::relay
