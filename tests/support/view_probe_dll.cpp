// A hook library the tests load into the console's window thread: it sees
// every text replacement the console sends to its view and counts the lines,
// so a test can tell exactly what was shown, dropped, reordered or damaged,
// even after the view has trimmed it away. The console itself is unchanged.

#include <windows.h>

#include <string_view>

#include "tests/support/numbered_lines.h"
#include "tests/support/view_probe_layout.h"

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
        if (line.starts_with(L"[console] ")) {
            counters.statusLines.fetch_add(1);
        }
        const auto parsed = nemora::test::ParseNumberedLine(line);
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
    counters.batches.fetch_add(1);
    counters.lines.fetch_add(lines);
    if (lines > counters.maxBatchLines.load()) {
        counters.maxBatchLines.store(lines);
    }
    if (text.size() > counters.maxBatchUnits.load()) {
        counters.maxBatchUnits.store(text.size());
    }
}

}  // namespace

// Exported by name through view_probe.def.
extern "C" LRESULT CALLBACK NemoraProbeCallWndProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (call->message == EM_REPLACESEL && call->lParam != 0) {
            if (ProbeCounters* counters = Counters()) {
                Record(*counters, reinterpret_cast<const wchar_t*>(call->lParam));
            }
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
