#pragma once

// What nemora-send was asked to do, read from its command line. Plain logic
// with no system calls, so every rule here is testable on its own.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nemora::send {

// Process exit codes, as --help documents them.
inline constexpr int kExitOk = 0;           // everything was written
inline constexpr int kExitIoFailed = 1;     // writing to the pipe or reading standard input failed
inline constexpr int kExitNoConsole = 2;    // no console is listening
inline constexpr int kExitBusyTimeout = 3;  // another client held the pipe for the whole wait
inline constexpr int kExitUsage = 4;        // the command line was not understood
inline constexpr int kExitOpenFailed = 5;   // the pipe exists but could not be opened

inline constexpr std::uint32_t kDefaultWaitSeconds = 5;
// Keeps the wait in milliseconds below the platform's "wait forever" value.
inline constexpr std::uint32_t kMaxWaitSeconds = 86400;

struct SendOptions {
    bool help = false;
    // Seconds to wait while another client holds the pipe.
    std::uint32_t waitSeconds = kDefaultWaitSeconds;
    // UTF-8 lines to write, without their line feeds, in command-line order
    // (each TEXT, and "FPS:VALUE" for each --fps). Empty: forward standard input.
    std::vector<std::string> lines;
};

struct ParseResult {
    SendOptions options;
    std::string error;  // empty when the command line was understood
    bool ok() const { return error.empty(); }
};

// Reads the arguments after the program name.
ParseResult ParseSendOptions(std::span<const std::wstring_view> args);

// The value of the option args[i], given as "--name=value" or as the next
// argument ("--name value", and then `i` moves past it); false if it has none.
bool TakeOptionValue(std::span<const std::wstring_view> args, std::size_t& i,
                     std::wstring_view& value);

// A whole number in decimal digits only, from 0 to max; false for anything else.
bool ParseDecimal(std::wstring_view text, std::uint32_t max, std::uint32_t& value);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string ToUtf8(std::wstring_view text);

// The text --help prints.
std::string_view UsageText();

}  // namespace nemora::send
