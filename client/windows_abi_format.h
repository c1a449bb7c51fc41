#pragma once

// printf-style formatting that reads its arguments as the Windows x64 C ABI
// passes them (MSVC's, and every foreign-function interface's), whatever
// compiler built this code. The one difference from MinGW's own printf is
// `long double`: 8 bytes passed by value there, so `%Lf` and its kin read a
// double here. Wide text (`%ls`, `%lc`, and `%S`, `%C` as MSVC's narrow printf
// reads them) becomes UTF-8, independent of the C locale; with a precision, no
// more of it is read than the precision can show.
//
// Supported, as C99 defines them: flags `-+ #0`; a width and a precision,
// digits or `*`; lengths hh h l ll j z t L, and I I32 I64 as MSVC spells them;
// conversions d i u o x X c s p f F e E g G a A and %%, and MSVC's S and C (wide
// text, as with the length l). Refused: %n (it writes
// to the caller's memory), positional arguments (%1$d), any other conversion,
// and widths or precisions above kMaxFormatField.

#include <cstdarg>
#include <cstddef>
#include <string>

namespace nemora {

// Larger fields are refused rather than allocated in the host.
inline constexpr int kMaxFormatField = 1 << 20;

// How %Lf and its kin find their argument: as the Windows x64 C ABI passes a
// `long double` (a double, whatever compiler built the caller: the DLL), or as
// the compiler that built this code passes its own (the C++ client, built with
// its host, where MinGW's is 10 bytes).
enum class LongDoubleArgument { kWindowsAbi, kThisCompiler };

enum class Formatted {
    kDone,
    kRefused,  // the format holds something refused or malformed
    kTooLong,  // the text would pass the limit: nothing more of it was built
};

// Appends the formatted text to `out`, which grows by `limit` bytes at most;
// `out` is left as it was unless kDone. No field's size goes on the calling
// thread's stack, which may be a host thread's 64 KiB.
Formatted FormatWindowsAbi(const char* format, va_list args, std::string& out, std::size_t limit,
                           LongDoubleArgument longDouble = LongDoubleArgument::kWindowsAbi);

// The line one printf call queues: the formatted text, at most `limit` bytes;
// or, when the format is refused or the text would pass the limit, the notice
// that says so followed by the format, so that the call still shows.
std::string PrintfLine(const char* format, va_list args, std::size_t limit,
                       LongDoubleArgument longDouble = LongDoubleArgument::kWindowsAbi);

// Whether the format has a directive for wide text (%ls %lc %S %C), which the C
// runtime's printf would convert by the host's C locale.
bool HasWideText(const char* format);

}  // namespace nemora
