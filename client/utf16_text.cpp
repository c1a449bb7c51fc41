#include "utf16_text.h"

namespace nemora {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

char* Put(char32_t code, char* out) {
    if (code < 0x80) {
        *out++ = static_cast<char>(code);
    } else if (code < 0x800) {
        *out++ = static_cast<char>(0xC0 | (code >> 6));
        *out++ = static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (code >> 12));
        *out++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (code & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (code >> 18));
        *out++ = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (code & 0x3F));
    }
    return out;
}

}  // namespace

std::size_t EncodeUtf8(std::wstring_view wide, char* out) {
    char* const start = out;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        // wchar_t is 16 bits on Windows; the mask keeps a wider one to its UTF-16 unit.
        const char32_t unit = static_cast<char32_t>(wide[i]) & 0xFFFF;
        if (IsHighSurrogate(unit) && i + 1 < wide.size()) {
            const char32_t next = static_cast<char32_t>(wide[i + 1]) & 0xFFFF;
            if (IsLowSurrogate(next)) {
                out = Put(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00), out);
                ++i;
                continue;
            }
        }
        out = Put(IsHighSurrogate(unit) || IsLowSurrogate(unit) ? kReplacement : unit, out);
    }
    return static_cast<std::size_t>(out - start);
}

}  // namespace nemora
