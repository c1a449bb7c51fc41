#include "windows_abi_format.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <limits>
#include <type_traits>

namespace nemora {

namespace {

// Each conversion is handed to the C runtime's own snprintf, one argument at a
// time, with its length rewritten to what that snprintf reads: the argument is
// always taken here, as the caller's ABI passed it.
enum class Length { kNone, kChar, kShort, kLong, kLongLong, kSize, kPtrdiff, kIntmax, kLongDouble };

// One "%..." directive of a format: what it asks for, the arguments it reads.
struct Directive {
    std::string flags;
    int width = -1;      // -1: none
    int precision = -1;  // -1: none
    Length length = Length::kNone;
    char conversion = 0;
};

bool IsFlag(char c) {
    return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0';
}

// Digits or `*` (from the arguments); false past kMaxFormatField.
bool ReadField(const char*& p, va_list& args, int& field, bool& negative) {
    negative = false;
    if (*p == '*') {
        ++p;
        const int value = va_arg(args, int);
        negative = value < 0;
        field = negative ? (value == std::numeric_limits<int>::min() ? kMaxFormatField + 1 : -value)
                         : value;
        return field <= kMaxFormatField;
    }
    field = 0;
    while (*p >= '0' && *p <= '9') {
        field = field * 10 + (*p++ - '0');
        if (field > kMaxFormatField) {
            return false;
        }
    }
    return true;
}

Length ReadLength(const char*& p) {
    switch (*p) {
        case 'h':
            return p[1] == 'h' ? (p += 2, Length::kChar) : (++p, Length::kShort);
        case 'l':
            return p[1] == 'l' ? (p += 2, Length::kLongLong) : (++p, Length::kLong);
        case 'j':
            return ++p, Length::kIntmax;
        case 'z':
            return ++p, Length::kSize;
        case 't':
            return ++p, Length::kPtrdiff;
        case 'L':
            return ++p, Length::kLongDouble;
        case 'I':
            if (p[1] == '6' && p[2] == '4') {
                return p += 3, Length::kLongLong;
            }
            if (p[1] == '3' && p[2] == '2') {
                return p += 3, Length::kNone;
            }
            return ++p, Length::kSize;
        default:
            return Length::kNone;
    }
}

// The part after '%'; false if malformed or refused. `p` ends past it.
bool ReadDirective(const char*& p, va_list& args, Directive& directive) {
    while (IsFlag(*p)) {
        directive.flags += *p++;
    }
    bool negative = false;
    if (*p == '*' || (*p >= '1' && *p <= '9')) {
        if (!ReadField(p, args, directive.width, negative)) {
            return false;
        }
        if (negative) {
            directive.flags += '-';  // a negative `*` width left-justifies
        }
    }
    if (*p == '$') {
        return false;  // positional arguments
    }
    if (*p == '.') {
        ++p;
        if (!ReadField(p, args, directive.precision, negative)) {
            return false;
        }
        if (negative) {
            directive.precision = -1;  // a negative `*` precision is taken as none
        }
    }
    directive.length = ReadLength(p);
    directive.conversion = *p;
    if (directive.conversion == '\0') {
        return false;
    }
    ++p;
    return true;
}

// The directive as this C runtime's snprintf reads it, with `length` in its place.
std::string Rebuilt(const Directive& directive, const char* length) {
    std::string text = "%" + directive.flags;
    if (directive.width >= 0) {
        text += std::to_string(directive.width);
    }
    if (directive.precision >= 0) {
        text += '.' + std::to_string(directive.precision);
    }
    return text + length + directive.conversion;
}

template <typename T>
bool Append(std::string& out, const std::string& format, T value) {
    char small[128];
    const int length = std::snprintf(small, sizeof small, format.c_str(), value);
    if (length < 0) {
        return false;
    }
    if (static_cast<std::size_t>(length) < sizeof small) {
        out.append(small, static_cast<std::size_t>(length));
        return true;
    }
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(length) + 1);
    std::snprintf(out.data() + at, static_cast<std::size_t>(length) + 1, format.c_str(), value);
    out.pop_back();  // the terminator
    return true;
}

std::string Utf8(const wchar_t* wide, int units) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, units, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) {
        WideCharToMultiByte(CP_UTF8, 0, wide, units, text.data(), bytes, nullptr, nullptr);
    }
    return text;
}

// An integer conversion, signed (d i) or not (u o x X), read at its length.
template <bool kSigned>
bool AppendInteger(std::string& out, const Directive& directive, va_list& args) {
    using Int = std::conditional_t<kSigned, int, unsigned>;
    using Long = std::conditional_t<kSigned, long, unsigned long>;  // 32 bits on Windows
    using LongLong = std::conditional_t<kSigned, long long, unsigned long long>;
    using Size = std::conditional_t<kSigned, std::ptrdiff_t, std::size_t>;
    switch (directive.length) {
        case Length::kNone:
        case Length::kChar:
        case Length::kShort:
            return Append(out,
                          Rebuilt(directive, directive.length == Length::kChar    ? "hh"
                                             : directive.length == Length::kShort ? "h"
                                                                                  : ""),
                          va_arg(args, Int));
        case Length::kLong:
            return Append(out, Rebuilt(directive, "l"), va_arg(args, Long));
        case Length::kLongLong:
        case Length::kIntmax:
            return Append(out, Rebuilt(directive, "ll"), va_arg(args, LongLong));
        case Length::kSize:
        case Length::kPtrdiff:
            return Append(out, Rebuilt(directive, "ll"), static_cast<LongLong>(va_arg(args, Size)));
        case Length::kLongDouble:
            return false;
    }
    return false;
}

bool AppendText(std::string& out, const Directive& directive, va_list& args) {
    if (directive.length == Length::kLong) {
        const wchar_t* wide = va_arg(args, const wchar_t*);
        if (wide == nullptr) {
            return Append(out, Rebuilt(directive, ""), "(null)");
        }
        // A precision counts the bytes shown, as for narrow text.
        return Append(out, Rebuilt(directive, ""),
                      Utf8(wide, static_cast<int>(std::wcslen(wide))).c_str());
    }
    if (directive.length != Length::kNone) {
        return false;
    }
    const char* text = va_arg(args, const char*);
    return Append(out, Rebuilt(directive, ""), text != nullptr ? text : "(null)");
}

bool AppendCharacter(std::string& out, const Directive& directive, va_list& args) {
    if (directive.length == Length::kLong) {
        const auto unit = static_cast<wchar_t>(va_arg(args, int));  // wint_t arrives promoted
        const Directive asText{directive.flags, directive.width, -1, Length::kNone, 's'};
        return Append(out, Rebuilt(asText, ""), Utf8(&unit, 1).c_str());
    }
    if (directive.length != Length::kNone) {
        return false;
    }
    return Append(out, Rebuilt(directive, ""), va_arg(args, int));
}

// MSVC's narrow printf reads %S and %C as wide text, as %ls and %lc.
bool AppendWide(std::string& out, const Directive& directive, va_list& args) {
    if (directive.length != Length::kNone && directive.length != Length::kLong) {
        return false;
    }
    Directive wide = directive;
    wide.length = Length::kLong;
    wide.conversion = directive.conversion == 'S' ? 's' : 'c';
    return wide.conversion == 's' ? AppendText(out, wide, args) : AppendCharacter(out, wide, args);
}

bool AppendConversion(std::string& out, const Directive& directive, va_list& args,
                      LongDoubleArgument longDouble) {
    switch (directive.conversion) {
        case 'd':
        case 'i':
            return AppendInteger<true>(out, directive, args);
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            return AppendInteger<false>(out, directive, args);
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            // `long double` is a double in the Windows ABI: %Lf reads 8 bytes.
            if (directive.length != Length::kNone && directive.length != Length::kLong &&
                directive.length != Length::kLongDouble) {
                return false;
            }
            if (directive.length == Length::kLongDouble &&
                longDouble == LongDoubleArgument::kThisCompiler) {
                return Append(out, Rebuilt(directive, "L"), va_arg(args, long double));
            }
            return Append(out, Rebuilt(directive, ""), va_arg(args, double));
        case 's':
            return AppendText(out, directive, args);
        case 'c':
            return AppendCharacter(out, directive, args);
        case 'S':
        case 'C':
            return AppendWide(out, directive, args);
        case 'p':
            return directive.length == Length::kNone &&
                   Append(out, Rebuilt(directive, ""), va_arg(args, void*));
        case '%':
            if (!directive.flags.empty() || directive.width >= 0 || directive.precision >= 0 ||
                directive.length != Length::kNone) {
                return false;
            }
            out += '%';
            return true;
        default:
            return false;  // %n among them
    }
}

}  // namespace

bool FormatWindowsAbi(const char* format, va_list args, std::string& out,
                      LongDoubleArgument longDouble) {
    const std::size_t start = out.size();
    va_list own;
    va_copy(own, args);
    bool ok = true;
    for (const char* p = format; ok && *p != '\0';) {
        const char* percent = std::strchr(p, '%');
        if (percent == nullptr) {
            out.append(p);
            break;
        }
        out.append(p, percent);
        p = percent + 1;
        Directive directive;
        ok = ReadDirective(p, own, directive) && AppendConversion(out, directive, own, longDouble);
    }
    va_end(own);
    if (!ok) {
        out.resize(start);
    }
    return ok;
}

bool HasWideText(const char* format) {
    for (const char* p = std::strchr(format, '%'); p != nullptr; p = std::strchr(p, '%')) {
        ++p;
        if (*p == '%') {
            ++p;
            continue;
        }
        p += std::strspn(p, "-+ #0123456789.*");
        if (*p == 'S' || *p == 'C' || (*p == 'l' && (p[1] == 's' || p[1] == 'c'))) {
            return true;
        }
    }
    return false;
}

}  // namespace nemora
