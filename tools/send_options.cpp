#include "tools/send_options.h"

#include "client/nemora_protocol.h"
#include "client/utf16_text.h"

namespace nemora::send {

bool TakeOptionValue(std::span<const std::wstring_view> args, std::size_t& i,
                     std::wstring_view& value) {
    const std::wstring_view arg = args[i];
    if (const std::size_t equals = arg.find(L'='); equals != std::wstring_view::npos) {
        value = arg.substr(equals + 1);
        return true;
    }
    if (i + 1 < args.size()) {
        value = args[++i];
        return true;
    }
    return false;
}

bool ParseDecimal(std::wstring_view text, std::uint32_t max, std::uint32_t& value) {
    // Ten digits hold every 32-bit value; more can't be one.
    if (text.empty() || text.size() > 10) {
        return false;
    }
    std::uint64_t number = 0;
    for (wchar_t unit : text) {
        if (unit < L'0' || unit > L'9') {
            return false;
        }
        number = number * 10 + static_cast<std::uint64_t>(unit - L'0');
    }
    if (number > max) {
        return false;
    }
    value = static_cast<std::uint32_t>(number);
    return true;
}

std::string ToUtf8(std::wstring_view text) {
    std::string out(text.size() * kUtf8BytesPerUtf16Unit, '\0');
    out.resize(EncodeUtf8(text, out.data()));
    return out;
}

ParseResult ParseSendOptions(std::span<const std::wstring_view> args) {
    ParseResult result;
    auto fail = [&result](std::string message) {
        result.error = std::move(message);
        return result;
    };
    // A line feed inside an argument would silently split it into two lines.
    auto addLine = [&result](std::string line) {
        if (line.find('\n') != std::string::npos) {
            result.error = "an argument holds a line feed; give each line as its own argument";
            return false;
        }
        result.options.lines.push_back(std::move(line));
        return true;
    };

    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::wstring_view arg = args[i];
        if (!optionsEnded && (arg == L"--help" || arg == L"-h" || arg == L"/?")) {
            result.options.help = true;
            continue;
        }
        if (optionsEnded || !arg.starts_with(L"-") || arg == L"-") {
            if (!addLine(ToUtf8(arg))) {
                return result;
            }
            continue;
        }
        if (arg == L"--") {
            optionsEnded = true;
            continue;
        }
        // Options that take a value.
        const std::wstring_view name = arg.substr(0, arg.find(L'='));
        if (name != L"--fps" && name != L"--wait") {
            return fail("unknown option " + ToUtf8(arg) +
                        " (use -- before a line that starts with -)");
        }
        std::wstring_view value;
        if (!TakeOptionValue(args, i, value)) {
            return fail(ToUtf8(name) + " needs a value");
        }
        if (name == L"--wait") {
            if (!ParseDecimal(value, kMaxWaitSeconds, result.options.waitSeconds)) {
                return fail("--wait takes whole seconds from 0 to " +
                            std::to_string(kMaxWaitSeconds) + ", not \"" + ToUtf8(value) + "\"");
            }
        } else if (!addLine(std::string(kFpsPrefix) + ToUtf8(value))) {
            return result;
        }
    }
    return result;
}

std::string_view UsageText() {
    return "Usage: nemora-send [--wait SECONDS] [--fps VALUE]... [--] [TEXT]...\n"
           "Writes lines to the Nemora Debug Console over " NEMORA_PIPE_NAME
           ",\n"
           "or over " NEMORA_RELAY_PIPE_NAME
           " while nemora-relay runs.\n"
           "\n"
           "  TEXT            each written as one line (UTF-8, ended by a line feed)\n"
           "  --fps VALUE     writes the frame-rate line \"" NEMORA_FPS_PREFIX
           "VALUE\" (shown in the title)\n"
           "  --wait SECONDS  how long to wait while another client holds the pipe\n"
           "                  (default 5; 0 gives up at once)\n"
           "  --              what follows is TEXT, even if it starts with -\n"
           "  --help          shows this text\n"
           "\n"
           "Lines and readings are written in the order given. With no TEXT and no\n"
           "--fps, standard input is forwarded byte for byte, each piece as soon as it\n"
           "is read, until it ends:  type build.log | nemora-send\n"
           "\n"
           "Exit codes:\n"
           "  0  everything was written\n"
           "  1  writing to the console or reading standard input failed\n"
           "  2  no console is listening\n"
           "  3  another client held the pipe for the whole wait\n"
           "  4  the command line was not understood\n"
           "  5  the pipe could not be opened for another reason\n";
}

}  // namespace nemora::send
