// The C interface over DebugClient. Each function catches everything: an
// exception must not unwind into a C caller's frames (or another compiler's).

#include "nemora_client_c.h"

#include <windows.h>

#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "nemora_client.h"
#ifndef NEMORA_CLIENT_STATIC
#include "windows_abi_format.h"
#endif

struct nemora_client {
    explicit nemora_client(nemora::DebugClientOptions options)
        : maxBufferedBytes(options.maxBufferedBytes), client(std::move(options)) {}
    // One printf's text is never longer: more could never be queued.
    const std::size_t maxBufferedBytes;
    nemora::DebugClient client;
};

namespace {

constexpr unsigned kDefaultFlushTimeoutMs = 500;

// The structure's first version, as every host lays it out whatever its packing.
constexpr std::size_t kOptionsFirstVersionSize = sizeof(void*) == 8 ? 40 : 20;
// The second version adds capture_debug_output; a host's size covers it from here.
constexpr std::size_t kOptionsSecondVersionEnd = kOptionsFirstVersionSize + sizeof(int);
static_assert(sizeof(nemora_client_options) == (sizeof(void*) == 8 ? 48 : 24));
static_assert(offsetof(nemora_client_options, capture_debug_output) == kOptionsFirstVersionSize);
static_assert(offsetof(nemora_client_options, size) == 0);
static_assert(offsetof(nemora_client_options, max_buffered_lines) == sizeof(std::size_t));
static_assert(offsetof(nemora_client_options, max_buffered_bytes) == 2 * sizeof(std::size_t));
static_assert(offsetof(nemora_client_options, flush_timeout_ms) == 3 * sizeof(std::size_t));
static_assert(offsetof(nemora_client_options, pipe_name) == (sizeof(void*) == 8 ? 32 : 16));

// UTF-8 to UTF-16; false if the bytes are not valid UTF-8.
bool Widen(const char* utf8, std::wstring& wide) {
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
    if (units <= 0) {
        return false;
    }
    wide.resize(static_cast<std::size_t>(units));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide.data(), units);
    wide.pop_back();  // the terminator
    return true;
}

nemora_client* Create(const nemora_client_options* options) {
    nemora::DebugClientOptions made;
    if (options != nullptr) {
        if (options->size < kOptionsFirstVersionSize) {
            return nullptr;
        }
        if (options->max_buffered_lines != 0) {
            made.maxBufferedLines = options->max_buffered_lines;
        }
        if (options->max_buffered_bytes != 0) {
            made.maxBufferedBytes = options->max_buffered_bytes;
        }
        made.flushTimeout = std::chrono::milliseconds(options->flush_timeout_ms);
        if (options->pipe_name != nullptr && !Widen(options->pipe_name, made.pipeName)) {
            return nullptr;
        }
        made.captureDebugOutput =
            options->size >= kOptionsSecondVersionEnd && options->capture_debug_output != 0;
    }
    return new nemora_client(std::move(made));
}

}  // namespace

extern "C" {

void nemora_client_options_init(nemora_client_options* options) {
    nemora_client_options_init_sized(options, kOptionsFirstVersionSize);
}

void nemora_client_options_init_sized(nemora_client_options* options, size_t size) {
    if (options == nullptr || size < kOptionsFirstVersionSize) {
        return;
    }
    // The host owns `size` bytes: fields of later versions than this DLL's are
    // zero, which every field's default is written as.
    std::memset(options, 0, size);
    options->size = size;
    options->flush_timeout_ms = kDefaultFlushTimeoutMs;
}

nemora_client* nemora_client_create(void) {
    return nemora_client_create_with(nullptr);
}

nemora_client* nemora_client_create_with(const nemora_client_options* options) {
    try {
        return Create(options);
    } catch (...) {
        return nullptr;
    }
}

void nemora_client_shutdown(nemora_client* c) {
    if (c == nullptr) {
        return;
    }
    try {
        c->client.Shutdown();
    } catch (...) {
    }
}

void nemora_client_destroy(nemora_client* c) {
    // Shut down where a throw can be caught; the destructor's own call then returns at once.
    nemora_client_shutdown(c);
    delete c;
}

void nemora_client_line(nemora_client* c, const char* text, size_t length) {
    if (c == nullptr || text == nullptr) {
        return;
    }
    try {
        c->client.Line(std::string_view(text, length));
    } catch (...) {
        // Out of memory: the line is lost, the host goes on.
    }
}

void nemora_client_puts(nemora_client* c, const char* text) {
    if (text != nullptr) {
        nemora_client_line(c, text, std::strlen(text));
    }
}

void nemora_client_linew(nemora_client* c, const wchar_t* text, size_t length) {
    if (c == nullptr || text == nullptr) {
        return;
    }
    try {
        c->client.Line(std::wstring_view(text, length));
    } catch (...) {
        // Out of memory: the line is lost, the host goes on.
    }
}

void nemora_client_putsw(nemora_client* c, const wchar_t* text) {
    if (text != nullptr) {
        nemora_client_linew(c, text, std::wcslen(text));
    }
}

void nemora_client_printf(nemora_client* c, const char* format, ...) {
    va_list args;
    va_start(args, format);
    nemora_client_vprintf(c, format, args);
    va_end(args);
}

void nemora_client_vprintf(nemora_client* c, const char* format, va_list args) {
    if (c == nullptr || format == nullptr) {
        return;
    }
    if (c->client.ProcessExiting()) {
        // Not even formatted: the C runtime's locks may be orphaned. At exit
        // Line only counts its lines as dropped: here one.
        c->client.Line(std::string_view());
        return;
    }
    try {
#ifdef NEMORA_CLIENT_STATIC
        c->client.VPrintf(format, args);
#else
        c->client.Line(nemora::PrintfLine(format, args, c->maxBufferedBytes));
#endif
    } catch (...) {
        // Out of memory: the line is lost, the host goes on.
    }
}

void nemora_client_fps(nemora_client* c, double fps) {
    if (c == nullptr) {
        return;
    }
    try {
        c->client.Fps(fps);
    } catch (...) {
    }
}

int nemora_client_flush(nemora_client* c, unsigned timeout_ms) {
    if (c == nullptr) {
        return 0;
    }
    try {
        return c->client.Flush(std::chrono::milliseconds(timeout_ms)) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int nemora_client_capturing(const nemora_client* c) {
    return c != nullptr && c->client.CapturingDebugOutput() ? 1 : 0;
}

unsigned long long nemora_client_dropped(const nemora_client* c) {
    if (c == nullptr) {
        return 0;
    }
    try {
        return c->client.DroppedLines();
    } catch (...) {
        return 0;
    }
}

int nemora_client_status(const nemora_client* c, unsigned long* system_error) {
    if (system_error != nullptr) {
        *system_error = 0;
    }
    if (c == nullptr) {
        return NEMORA_CLIENT_SHUT_DOWN;
    }
    // Both read atomics: no lock, so this is safe wherever the other calls are.
    if (system_error != nullptr) {
        *system_error = c->client.StatusError();
    }
    return static_cast<int>(c->client.Status());
}

static_assert(NEMORA_CLIENT_ACCESS_DENIED ==
              static_cast<int>(nemora::DeliveryStatus::kAccessDenied));
static_assert(NEMORA_CLIENT_SHUT_DOWN == static_cast<int>(nemora::DeliveryStatus::kShutDown));

}  // extern "C"
