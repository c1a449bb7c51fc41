#include "view/line_conversion.h"

#include <windows.h>

#include <algorithm>
#include <limits>

namespace nemora {

void AppendWidenedBytes(std::wstring& out, std::string_view bytes) {
    for (const char byte : bytes) {
        const auto unit = static_cast<wchar_t>(static_cast<short>(static_cast<signed char>(byte)));
        out.push_back(unit == L'\0' ? kZeroByteSymbol : unit);
    }
}

void AppendConvertedLine(std::wstring& out, std::string_view line) {
    // Plain ASCII, what clients nearly always write, is its own UTF-16 unit for
    // unit: the converter (two calls a Line) would cost a drain of short lines
    // a millisecond for nothing.
    if (std::all_of(line.begin(), line.end(),
                    [](char byte) { return static_cast<unsigned char>(byte) < 0x80; })) {
        AppendWidenedBytes(out, line);
        return;
    }
    // Lines are capped far below this; the guard keeps the signed count honest.
    const int length =
        static_cast<int>(std::min<std::size_t>(line.size(), std::numeric_limits<int>::max()));
    const int units = MultiByteToWideChar(CP_UTF8, 0, line.data(), length, nullptr, 0);
    if (units <= 0) {
        AppendWidenedBytes(out, line);
        return;
    }
    const std::size_t start = out.size();
    out.resize(start + static_cast<std::size_t>(units));
    MultiByteToWideChar(CP_UTF8, 0, line.data(), length, out.data() + start, units);
    std::replace(out.begin() + static_cast<std::ptrdiff_t>(start), out.end(), L'\0',
                 kZeroByteSymbol);
}

std::size_t Utf16Units(std::string_view line) {
    std::size_t units = 0;
    for (const char byte : line) {
        const auto b = static_cast<unsigned char>(byte);
        // Continuation bytes add nothing; a four-byte sequence is a surrogate pair.
        units += (b & 0xC0) != 0x80 ? 1 : 0;
        units += (b >= 0xF0 && b <= 0xF4) ? 1 : 0;
    }
    return units;
}

}  // namespace nemora
