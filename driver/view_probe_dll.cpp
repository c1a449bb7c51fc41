// A library the tests load into the console's window thread (through a hook,
// then watching the view as its subclass): it sees every text replacement the
// console sends to its view and counts the lines, so a test can tell exactly
// what was shown, dropped, reordered or damaged, even after the view has
// trimmed it away. The console's own code is unchanged.

#include <windows.h>

#include <cstdint>
#include <string_view>

#include "client/nemora_protocol.h"
#include "driver/numbered_lines.h"
#include "driver/view_probe_layout.h"

namespace {

using nemora::test::Numbered;
using nemora::test::ProbeCounters;

ProbeCounters* Counters() {
    static ProbeCounters* const counters = [] {
        HANDLE mapping = OpenFileMappingW(
            FILE_MAP_WRITE, FALSE, nemora::test::ProbeMappingName(GetCurrentProcessId()).c_str());
        if (mapping == nullptr) {
            return static_cast<ProbeCounters*>(nullptr);
        }
        // Kept mapped for the life of the process.
        return static_cast<ProbeCounters*>(
            MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(ProbeCounters)));
    }();
    return counters;
}

constexpr std::wstring_view kStatusStart = NEMORA_WIDE(NEMORA_CONSOLE_NOTICE_START);
constexpr std::wstring_view kDroppedEnd = NEMORA_WIDE(NEMORA_NOTICE_LINES_DROPPED);
constexpr std::wstring_view kClientStart = NEMORA_WIDE(NEMORA_CLIENT_NOTICE_START);

// A relayed line without the relay's "[<pid> <name>] " in front.
std::wstring_view WithoutRelayPrefix(std::wstring_view line) {
    if (!line.starts_with(L'[')) {
        return line;
    }
    const std::size_t end = line.find(L"] ");
    return end == std::wstring_view::npos ? line : line.substr(end + 2);
}

// N of a status line "N lines dropped" (or "1 line dropped"), or 0.
std::uint64_t AnnouncedDrop(std::wstring_view status) {
    std::uint64_t count = 0;
    std::size_t digits = 0;
    for (; digits < status.size() && status[digits] >= L'0' && status[digits] <= L'9'; ++digits) {
        count = count * 10 + static_cast<std::uint64_t>(status[digits] - L'0');
    }
    const std::wstring_view rest = status.substr(digits);
    constexpr std::wstring_view kOneDropped = NEMORA_WIDE(NEMORA_NOTICE_LINE_DROPPED);
    return digits > 0 && (rest.starts_with(kDroppedEnd) || rest.starts_with(kOneDropped)) ? count
                                                                                          : 0;
}

void Record(ProbeCounters& counters, std::wstring_view text) {
    if (text.empty()) {
        counters.trims.fetch_add(1);
        return;
    }
    std::uint64_t lines = 0;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find(L"\r\n", start)) != std::wstring_view::npos;
         start = end + 2) {
        ++lines;
        const std::wstring_view line = text.substr(start, end - start);
        if (line.starts_with(kStatusStart)) {
            counters.statusLines.fetch_add(1);
            counters.announced.fetch_add(AnnouncedDrop(line.substr(kStatusStart.size())));
        }
        if (line.starts_with(kClientStart)) {
            counters.clientAnnounced.fetch_add(AnnouncedDrop(line.substr(kClientStart.size())));
        }
        const auto parsed = nemora::test::ParseNumberedLine(WithoutRelayPrefix(line));
        if (parsed.kind == Numbered::kNo) {
            continue;
        }
        auto& stream = counters.streams[parsed.stream - 'A'];
        if (parsed.kind == Numbered::kDamaged) {
            stream.damaged.fetch_add(1);
            continue;
        }
        const std::int64_t last = stream.last.load();
        const auto sequence = static_cast<std::int64_t>(parsed.sequence);
        if (sequence <= last) {
            stream.disorder.fetch_add(1);
        } else {
            stream.skipped.fetch_add(static_cast<std::uint64_t>(sequence - last - 1));
        }
        stream.shown.fetch_add(1);
        stream.last.store(sequence);
    }
    counters.framePaints.store(0);
    counters.batches.fetch_add(1);
    counters.lines.fetch_add(lines);
    if (lines > counters.maxBatchLines.load()) {
        counters.maxBatchLines.store(lines);
    }
    if (text.size() > counters.maxBatchUnits.load()) {
        counters.maxBatchUnits.store(text.size());
    }
}

WNDPROC originalViewProc = nullptr;

LRESULT CALLBACK ProbeViewProc(HWND view, UINT message, WPARAM wParam, LPARAM lParam) {
    ProbeCounters* counters = Counters();
    if (counters != nullptr && message == WM_NCPAINT) {
        counters->framePaints.fetch_add(1);
    }
    if (counters == nullptr || message != EM_REPLACESEL || lParam == 0) {
        return CallWindowProcW(originalViewProc, view, message, wParam, lParam);
    }
    const std::wstring_view text = reinterpret_cast<const wchar_t*>(lParam);
    Record(*counters, text);
    if (text.empty()) {
        return CallWindowProcW(originalViewProc, view, message, wParam, lParam);
    }
    DWORD selStart = 0;
    DWORD selEnd = 0;
    SendMessageW(view, EM_GETSEL, reinterpret_cast<WPARAM>(&selStart),
                 reinterpret_cast<LPARAM>(&selEnd));
    const auto expected =
        static_cast<std::uint64_t>(GetWindowTextLengthW(view)) - (selEnd - selStart) + text.size();
    const LRESULT result = CallWindowProcW(originalViewProc, view, message, wParam, lParam);
    counters->lastAppendEnd.store(nemora::test::ProbeTicks());
    const auto length = static_cast<std::uint64_t>(GetWindowTextLengthW(view));
    if (length < expected) {
        counters->cutUnits.fetch_add(expected - length);
    }
    return result;
}

// In the view's own thread: from now on the view's messages pass through
// ProbeViewProc. The library is pinned first, so the test may unhook (which
// lets the system unload a hook's library) and the console runs on unwatched
// by any hook: a hook costs the console a call into the window system for
// every message its thread handles.
void Subclass(ProbeCounters& counters) {
    HWND view = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(counters.view.load()));
    if (originalViewProc != nullptr || view == nullptr ||
        GetWindowThreadProcessId(view, nullptr) != GetCurrentThreadId()) {
        return;
    }
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&ProbeViewProc)),
                            &self)) {
        return;
    }
    originalViewProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(view, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ProbeViewProc)));
    if (originalViewProc != nullptr) {
        counters.subclassed.store(1);
    }
}

}  // namespace

// Exported by name through view_probe.def. Only brings the library into the
// console's window thread; what the view is sent is recorded by ProbeViewProc.
extern "C" LRESULT CALLBACK NemoraProbeCallWndProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        if (ProbeCounters* counters = Counters()) {
            Subclass(*counters);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
