#include "windows_abi_format.h"

#include "nemora_protocol.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
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

// Where a format's text goes, and how far it may grow: what could never be
// queued is never built.
struct Output {
    std::string& text;
    std::size_t limit;  // the size `text` may reach
    bool tooLong = false;

    // Whether `more` bytes fit; if not, says so for good.
    bool Room(std::size_t more) {
        tooLong = tooLong || more > limit - text.size();
        return !tooLong;
    }
};

// Fields up to this wide, and integer precisions up to this, are handed to
// the C runtime as they are: it may format a field in a buffer of the field's
// size on the stack. Wider ones are padded here, in heap memory. Far more than
// the 22 digits of the longest integer.
constexpr int kRuntimeField = 64;

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

// Where zeros that widen a numeric field go: after its sign and 0x; npos for
// text that is no number (inf, nan), which is widened by spaces.
std::size_t ZeroFillAt(const std::string& field, char conversion) {
    std::size_t at = 0;
    if (at < field.size() && (field[at] == '-' || field[at] == '+' || field[at] == ' ')) {
        ++at;
    }
    const bool hex = conversion == 'x' || conversion == 'X' || conversion == 'a' ||
                     conversion == 'A' || conversion == 'p';
    if (hex && field.size() > at + 1 && field[at] == '0' &&
        (field[at + 1] == 'x' || field[at + 1] == 'X')) {
        at += 2;
    }
    const auto digit = static_cast<unsigned char>(at < field.size() ? field[at] : '\0');
    return (hex ? std::isxdigit(digit) : std::isdigit(digit)) != 0 ? at : std::string::npos;
}

// Appends one conversion of `value`, formatted by the C runtime as `directive`
// asks (with `lengthModifier` as that runtime spells it), except that a width or an
// integer precision above kRuntimeField is applied here.
template <typename T>
bool Append(Output& out, const Directive& directive, const char* lengthModifier, T value) {
    const bool integer = std::strchr("diouxX", directive.conversion) != nullptr;
    Directive narrow = directive;
    std::size_t precisionZeros = 0;
    if (integer && directive.precision > kRuntimeField) {
        // The last kRuntimeField characters are then the zero-filled digits.
        precisionZeros = static_cast<std::size_t>(directive.precision - kRuntimeField);
        narrow.precision = kRuntimeField;
    }
    const bool wide = directive.width > kRuntimeField;
    if (wide) {
        narrow.width = -1;
    }
    const std::string format = Rebuilt(narrow, lengthModifier);
    char small[128];
    const int length = std::snprintf(small, sizeof small, format.c_str(), value);
    if (length < 0) {
        return false;
    }
    // Measured before anything is built.
    const std::size_t width = wide ? static_cast<std::size_t>(directive.width) : 0;
    if (!out.Room(std::max(static_cast<std::size_t>(length) + precisionZeros, width))) {
        return false;
    }
    std::string field;
    if (static_cast<std::size_t>(length) < sizeof small) {
        field.assign(small, static_cast<std::size_t>(length));
    } else {
        field.resize(static_cast<std::size_t>(length) + 1);
        std::snprintf(field.data(), field.size(), format.c_str(), value);
        field.pop_back();  // the terminator
    }
    if (precisionZeros > 0) {
        field.insert(field.size() - kRuntimeField, precisionZeros, '0');
    }
    if (field.size() < width) {
        const std::size_t padding = width - field.size();
        const bool left = directive.flags.find('-') != std::string::npos;
        // C's rule: the 0 flag pads numbers with zeros unless an integer has a precision.
        const bool zeros = !left && directive.flags.find('0') != std::string::npos &&
                           directive.conversion != 's' && directive.conversion != 'c' &&
                           !(integer && directive.precision >= 0);
        const std::size_t zerosAt =
            zeros ? ZeroFillAt(field, directive.conversion) : std::string::npos;
        if (zerosAt != std::string::npos) {
            field.insert(zerosAt, padding, '0');
        } else if (left) {
            field.append(padding, ' ');
        } else {
            field.insert(0, padding, ' ');
        }
    }
    out.text += field;
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
bool AppendInteger(Output& out, const Directive& directive, va_list& args) {
    using Int = std::conditional_t<kSigned, int, unsigned>;
    using Long = std::conditional_t<kSigned, long, unsigned long>;  // 32 bits on Windows
    using LongLong = std::conditional_t<kSigned, long long, unsigned long long>;
    using Size = std::conditional_t<kSigned, std::ptrdiff_t, std::size_t>;
    switch (directive.length) {
        case Length::kNone:
        case Length::kChar:
        case Length::kShort:
            return Append(out, directive,
                          directive.length == Length::kChar    ? "hh"
                          : directive.length == Length::kShort ? "h"
                                                               : "",
                          va_arg(args, Int));
        case Length::kLong:
            return Append(out, directive, "l", va_arg(args, Long));
        case Length::kLongLong:
        case Length::kIntmax:
            return Append(out, directive, "ll", va_arg(args, LongLong));
        case Length::kSize:
        case Length::kPtrdiff:
            return Append(out, directive, "ll", static_cast<LongLong>(va_arg(args, Size)));
        case Length::kLongDouble:
            return false;
    }
    return false;
}

// The units of wide text a %ls directive shows: with a precision (a count of
// UTF-8 bytes), whole characters within it only, and no unit read past the
// first `precision` (each unit makes a byte at least): the text need not be
// terminated then.
int ShownUnits(const wchar_t* wide, int precision) {
    if (precision < 0) {
        return static_cast<int>(std::wcslen(wide));
    }
    int bytes = 0;
    int units = 0;
    while (units < precision && wide[units] != L'\0') {
        const auto unit = static_cast<unsigned>(wide[units]);
        const bool pair = unit >= 0xD800 && unit < 0xDC00 && units + 1 < precision &&
                          wide[units + 1] >= 0xDC00 && wide[units + 1] < 0xE000;
        // A lone surrogate becomes U+FFFD, three bytes.
        const int size = pair ? 4 : unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
        if (bytes + size > precision) {
            break;
        }
        bytes += size;
        units += pair ? 2 : 1;
    }
    return units;
}

bool AppendText(Output& out, const Directive& directive, va_list& args) {
    if (directive.length == Length::kLong) {
        const wchar_t* wide = va_arg(args, const wchar_t*);
        if (wide == nullptr) {
            return Append(out, directive, "", "(null)");
        }
        // A precision counts the bytes shown, as for narrow text.
        const int units = ShownUnits(wide, directive.precision);
        if (!out.Room(static_cast<std::size_t>(units))) {
            return false;  // each unit makes a byte at least
        }
        return Append(out, directive, "", Utf8(wide, units).c_str());
    }
    if (directive.length != Length::kNone && directive.length != Length::kShort) {
        return false;  // MSVC reads %hs as narrow text whatever the function's width
    }
    const char* text = va_arg(args, const char*);
    return Append(out, directive, "", text != nullptr ? text : "(null)");
}

bool AppendCharacter(Output& out, const Directive& directive, va_list& args) {
    if (directive.length == Length::kLong) {
        const auto unit = static_cast<wchar_t>(va_arg(args, int));  // wint_t arrives promoted
        const Directive asText{directive.flags, directive.width, -1, Length::kNone, 's'};
        return Append(out, asText, "", Utf8(&unit, 1).c_str());
    }
    if (directive.length != Length::kNone && directive.length != Length::kShort) {
        return false;  // %hc: a narrow character
    }
    return Append(out, directive, "", va_arg(args, int));
}

// MSVC's narrow printf reads %S and %C as wide text, as %ls and %lc, and
// %hS and %hC as narrow text, as %s and %c.
bool AppendWide(Output& out, const Directive& directive, va_list& args) {
    if (directive.length != Length::kNone && directive.length != Length::kLong &&
        directive.length != Length::kShort) {
        return false;
    }
    Directive text = directive;
    text.length = directive.length == Length::kShort ? Length::kNone : Length::kLong;
    text.conversion = directive.conversion == 'S' ? 's' : 'c';
    return text.conversion == 's' ? AppendText(out, text, args) : AppendCharacter(out, text, args);
}

bool AppendConversion(Output& out, const Directive& directive, va_list& args,
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
                return Append(out, directive, "L", va_arg(args, long double));
            }
            return Append(out, directive, "", va_arg(args, double));
        case 's':
            return AppendText(out, directive, args);
        case 'c':
            return AppendCharacter(out, directive, args);
        case 'S':
        case 'C':
            return AppendWide(out, directive, args);
        case 'p':
            return directive.length == Length::kNone && directive.precision <= kRuntimeField &&
                   Append(out, directive, "", va_arg(args, void*));
        case '%':
            if (!directive.flags.empty() || directive.width >= 0 || directive.precision >= 0 ||
                directive.length != Length::kNone) {
                return false;
            }
            if (!out.Room(1)) {
                return false;
            }
            out.text += '%';
            return true;
        default:
            return false;  // %n among them
    }
}

}  // namespace

Formatted FormatWindowsAbi(const char* format, va_list args, std::string& text, std::size_t limit,
                           LongDoubleArgument longDouble) {
    const std::size_t start = text.size();
    Output out{text, start + std::min(limit, text.max_size() - start)};
    va_list own;
    va_copy(own, args);
    bool ok = true;
    for (const char* p = format; ok && *p != '\0';) {
        const char* percent = std::strchr(p, '%');
        const char* end = percent != nullptr ? percent : p + std::strlen(p);
        ok = out.Room(static_cast<std::size_t>(end - p));
        if (!ok) {
            break;
        }
        text.append(p, end);
        if (percent == nullptr) {
            break;
        }
        p = percent + 1;
        Directive directive;
        ok = ReadDirective(p, own, directive) && AppendConversion(out, directive, own, longDouble);
    }
    va_end(own);
    if (!ok || out.tooLong) {
        text.resize(start);
        return out.tooLong ? Formatted::kTooLong : Formatted::kRefused;
    }
    return Formatted::kDone;
}

std::string PrintfLine(const char* format, va_list args, std::size_t limit,
                       LongDoubleArgument longDouble) {
    std::string text;
    switch (FormatWindowsAbi(format, args, text, limit, longDouble)) {
        case Formatted::kDone:
            return text;
        case Formatted::kRefused:
            return NEMORA_CLIENT_FORMAT_REFUSED + std::string(format);
        case Formatted::kTooLong:
            break;
    }
    return NEMORA_CLIENT_OUTPUT_TOO_LONG + std::string(format);
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
