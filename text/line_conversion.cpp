#include "text/line_conversion.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

namespace nemora {

namespace {

// Plain ASCII, what clients nearly always write, is its own UTF-16 unit for
// unit: the converter (two calls a Line) would cost a drain of short lines a
// millisecond for nothing.
// Eight bytes at a time: the listener asks this of every Line it queues.
bool IsAscii(std::string_view line) {
    constexpr std::uint64_t kHighBits = 0x8080808080808080;
    std::uint64_t seen = 0;
    std::size_t at = 0;
    for (; at + sizeof(seen) <= line.size(); at += sizeof(seen)) {
        std::uint64_t word;
        std::memcpy(&word, line.data() + at, sizeof(word));
        seen |= word;
    }
    for (; at < line.size(); ++at) {
        seen |= static_cast<unsigned char>(line[at]);
    }
    return (seen & kHighBits) == 0;
}

// Lines are capped far below this; the guard keeps the signed count honest.
int ConverterLength(std::string_view line) {
    return static_cast<int>(std::min<std::size_t>(line.size(), std::numeric_limits<int>::max()));
}

// What the converter writes for the Line; 0 when it fails.
int ConvertedLength(std::string_view line) {
    const int units =
        MultiByteToWideChar(CP_UTF8, 0, line.data(), ConverterLength(line), nullptr, 0);
    return std::max(units, 0);
}

}  // namespace

void AppendWidenedBytes(std::wstring& out, std::string_view bytes) {
    for (const char byte : bytes) {
        const auto unit = static_cast<wchar_t>(static_cast<short>(static_cast<signed char>(byte)));
        out.push_back(unit == L'\0' ? kZeroByteSymbol : unit);
    }
}

void AppendConvertedLine(std::wstring& out, std::string_view line) {
    AppendConvertedLine(out, line, Utf16Units(line));
}

void AppendConvertedLine(std::wstring& out, std::string_view line, std::size_t units) {
    if (IsAscii(line)) {
        AppendWidenedBytes(out, line);
        return;
    }
    // `units` is what the converter said, or the Line's bytes where it failed
    // (then it fails here too, and the bytes are widened).
    const std::size_t start = out.size();
    out.resize(start + units);
    const int room =
        static_cast<int>(std::min<std::size_t>(units, std::numeric_limits<int>::max()));
    const int written = MultiByteToWideChar(CP_UTF8, 0, line.data(), ConverterLength(line),
                                            out.data() + start, room);
    if (written <= 0) {
        out.resize(start);
        AppendWidenedBytes(out, line);
        return;
    }
    out.resize(start + static_cast<std::size_t>(written));
    std::replace(out.begin() + static_cast<std::ptrdiff_t>(start), out.end(), L'\0',
                 kZeroByteSymbol);
}

std::size_t Utf16Units(std::string_view line) {
    // The same choice as AppendConvertedLine: unit for unit, the converter, or the fallback.
    const int units = IsAscii(line) ? 0 : ConvertedLength(line);
    return units == 0 ? line.size() : static_cast<std::size_t>(units);
}

}  // namespace nemora
