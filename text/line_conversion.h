#pragma once

// How a Line's bytes become the UTF-16 text the view holds, and how many
// units that text takes. Both the listener (which counts each Line once, as
// it queues it) and the view (which converts it) use this unit, so the count
// the drain rules go by is always the length of what is shown.

#include <cstddef>
#include <string>
#include <string_view>

namespace nemora {

// Shown in place of a zero byte: a zero unit would end the text the edit
// control takes, losing the rest of the Line, its line break and every Line
// after it in the same batch.
inline constexpr wchar_t kZeroByteSymbol = L'\u2400';  // ␀

// The fallback when UTF-8 conversion fails (an empty Line always lands here):
// each byte becomes one unit, read as a signed 8-bit number and widened, so
// 0x80..0xFF become 0xFF80..0xFFFF.
void AppendWidenedBytes(std::wstring& out, std::string_view bytes);

// Appends the Line converted from UTF-8 to UTF-16 (or widened byte by byte
// when the converter fails), zero units replaced by kZeroByteSymbol.
// Never appends more units than the Line has bytes.
void AppendConvertedLine(std::wstring& out, std::string_view line);
// The same, for a Line whose Utf16Units are known already: the converter is
// not asked for the length again.
void AppendConvertedLine(std::wstring& out, std::string_view line, std::size_t units);

// Exactly the units AppendConvertedLine appends for the Line, whatever its
// bytes: ill-formed UTF-8 takes what the converter makes of it (a U+FFFD for
// each lone continuation byte, for instance), so it is counted by the
// converter itself, asked for the length only. Plain ASCII is counted without it.
std::size_t Utf16Units(std::string_view line);

}  // namespace nemora
