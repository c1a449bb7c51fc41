#include "tools/relay_options.h"

#include "client/nemora_protocol.h"
#include "tools/send_options.h"

namespace nemora::relay {

namespace {

// A process id in decimal: 1 to 4294967295.
bool ParsePid(std::wstring_view text, std::uint32_t& pid) {
    std::uint32_t value = 0;
    if (!send::ParseDecimal(text, UINT32_MAX, value) || value == 0) {
        return false;
    }
    pid = value;
    return true;
}

}  // namespace

ParseResult ParseRelayOptions(std::span<const std::wstring_view> args) {
    using send::TakeOptionValue;
    using send::ToUtf8;
    ParseResult result;
    auto fail = [&result](std::string message) {
        result.error = std::move(message);
        return result;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::wstring_view arg = args[i];
        if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
            result.options.help = true;
            continue;
        }
        if (arg == L"--debug-output") {
            result.options.debugOutput = true;
            continue;
        }
        if (arg == L"--global") {
            result.options.global = true;
            continue;
        }
        const std::wstring_view name = arg.substr(0, arg.find(L'='));
        if (name != L"--pid" && name != L"--process") {
            return fail("unknown argument " + ToUtf8(arg));
        }
        std::wstring_view value;
        if (!TakeOptionValue(args, i, value)) {
            return fail(ToUtf8(name) + " needs a value");
        }
        if (name == L"--pid") {
            std::uint32_t pid = 0;
            if (!ParsePid(value, pid)) {
                return fail("--pid takes a process id (a whole number from 1), not \"" +
                            ToUtf8(value) + "\"");
            }
            result.options.pids.push_back(pid);
        } else {
            if (value.empty() || value.find_first_of(L"\\/") != std::wstring_view::npos) {
                return fail("--process takes an image file name such as game.exe, not \"" +
                            ToUtf8(value) + "\"");
            }
            result.options.processNames.push_back(ToUtf8(value));
        }
    }
    return result;
}

std::string_view UsageText() {
    return "Usage: nemora-relay [--debug-output] [--global] [--pid ID]... [--process NAME]...\n"
           "Lets any number of programs write to the Nemora Debug Console at once: they\n"
           "connect to " NEMORA_RELAY_PIPE_NAME
           " (the client library and nemora-send\n"
           "do so by themselves while a relay runs), and the relay forwards every line to\n"
           "the console over its one connection, prefixed with the writer's process id\n"
           "and image file name:  [4242 game.exe] level loaded\n"
           "\n"
           "  --debug-output  also relays what programs in this session write with\n"
           "                  OutputDebugString\n"
           "  --global        also relays what services write with OutputDebugString\n"
           "                  (needs the relay to run as administrator)\n"
           "  --pid ID        relays only this process (repeatable)\n"
           "  --process NAME  relays only processes with this image file name, e.g.\n"
           "                  game.exe or game (repeatable; with --pid, either kept)\n"
           "  --help          shows this text\n"
           "\n"
           "It runs until Ctrl+C, Ctrl+Break or its window is closed. One relay runs\n"
           "per session.\n"
           "\n"
           "Exit codes:\n"
           "  0  ended by Ctrl+C, Ctrl+Break or its window closing (or --help)\n"
           "  1  the relay's pipe could not be served\n"
           "  2  another relay is already running in this session\n"
           "  3  --global was given without administrator rights\n"
           "  4  the command line was not understood\n"
           "  5  another program already reads the debug output channel\n";
}

}  // namespace nemora::relay
