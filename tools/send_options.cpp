#include "tools/send_options.h"

#include "client/nemora_protocol.h"

namespace nemora::send {

namespace {

void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

bool IsHighSurrogate(wchar_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(wchar_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// A value given as "--name=value" or as the next argument "--name value".
struct OptionValue {
    bool present = false;
    std::wstring_view value;
};

bool ParseSeconds(std::wstring_view text, std::uint32_t& seconds) {
    if (text.empty() || text.size() > 9) {
        return false;
    }
    std::uint32_t value = 0;
    for (wchar_t unit : text) {
        if (unit < L'0' || unit > L'9') {
            return false;
        }
        value = value * 10 + static_cast<std::uint32_t>(unit - L'0');
    }
    if (value > kMaxWaitSeconds) {
        return false;
    }
    seconds = value;
    return true;
}

}  // namespace

std::string ToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t unit = text[i];
        if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            const char32_t high = unit - 0xD800;
            const char32_t low = text[i + 1] - 0xDC00;
            AppendUtf8(out, 0x10000 + (high << 10) + low);
            ++i;
        } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, static_cast<char32_t>(unit));
        }
    }
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
        const std::size_t equals = arg.find(L'=');
        const std::wstring_view name = arg.substr(0, equals);
        if (name != L"--fps" && name != L"--wait") {
            return fail("unknown option " + ToUtf8(arg) +
                        " (use -- before a line that starts with -)");
        }
        std::wstring_view value;
        if (equals != std::wstring_view::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return fail(ToUtf8(name) + " needs a value");
        }
        if (name == L"--wait") {
            if (!ParseSeconds(value, result.options.waitSeconds)) {
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
