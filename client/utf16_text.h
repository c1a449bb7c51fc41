#pragma once

// Windows' wide (UTF-16) text as the UTF-8 the console reads. Platform-free:
// the conversion is the client's own, so it is the same whatever the host's C
// locale or code page, and it never allocates.

#include <cstddef>
#include <string_view>

namespace nemora {

// UTF-8 bytes one UTF-16 unit becomes at most (a surrogate pair: 4 bytes for 2 units).
inline constexpr std::size_t kUtf8BytesPerUtf16Unit = 3;

// Writes the UTF-8 form of `wide` to `out`, which has room for
// kUtf8BytesPerUtf16Unit bytes per unit; returns the bytes written. A
// surrogate without its other half becomes U+FFFD; every other unit,
// a zero included, is kept.
std::size_t EncodeUtf8(std::wstring_view wide, char* out);

}  // namespace nemora
