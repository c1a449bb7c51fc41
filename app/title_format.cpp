#include "app/title_format.h"

#include <cwchar>

namespace nemora {

std::wstring FormatFpsTitle(double fps) {
    // Formatted whole, then cut: runtimes disagree on what swprintf leaves in
    // a buffer that is too small, and the title must read the same everywhere.
    // The largest double needs 309 digits.
    wchar_t buffer[512];
    const int written = std::swprintf(buffer, std::size(buffer), kFpsTitleFormat, fps);
    std::wstring title(buffer, written > 0 ? static_cast<std::size_t>(written) : 0);
    if (title.size() > kTitleBufferUnits - 1) {
        title.resize(kTitleBufferUnits - 1);
    }
    return title;
}

}  // namespace nemora
