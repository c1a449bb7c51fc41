#pragma once

#include <cstddef>
#include <string>

namespace nemora {

inline constexpr wchar_t kConsoleTitle[] = L"Nemora Debug Console";
// Two blanks each side of the em dash; the reading is rounded half to even.
inline constexpr wchar_t kFpsTitleFormat[] = L"Nemora Debug Console  \u2014  FPS: %.0f";
// The title buffer, terminator included: a longer title keeps its first 79 units.
inline constexpr std::size_t kTitleBufferUnits = 80;

std::wstring FormatFpsTitle(double fps);

}  // namespace nemora
