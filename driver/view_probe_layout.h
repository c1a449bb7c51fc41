#pragma once

// What the view probe (a library loaded into the console by a hook, which then
// subclasses the view) records about every batch of text the console appends
// to its view, in a shared memory block named after the console's process id.
// Written by the console's window thread only; read by the test at any time.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace nemora::test {

// Per stream of numbered lines ("#A...", "#B...", ...), also behind a
// relay's prefix ("[4242 game.exe] #A...").
struct ProbeStream {
    std::atomic<std::uint64_t> shown;     // numbered lines appended, intact
    std::atomic<std::uint64_t> skipped;   // sequence numbers jumped over (lines never shown)
    std::atomic<std::uint64_t> disorder;  // lines whose number was not above the previous one
    std::atomic<std::uint64_t> damaged;   // lines that start like numbered ones but aren't
    std::atomic<std::int64_t> last;       // the last sequence number shown, -1 before any
};

inline constexpr int kProbeStreams = 26;  // 'A'..'Z'

struct ProbeCounters {
    std::atomic<std::uint64_t> view;             // the view's HWND, set by the test before hooking
    std::atomic<std::uint32_t> subclassed;       // set by the library once it watches the view
    std::atomic<std::uint64_t> batches;          // appends (non-empty replacements)
    std::atomic<std::uint64_t> lines;            // lines appended, of any kind
    std::atomic<std::uint64_t> maxBatchLines;    // the most lines one append carried
    std::atomic<std::uint64_t> maxBatchUnits;    // the most UTF-16 units one append carried
    std::atomic<std::uint64_t> trims;            // replacements with the empty text
    std::atomic<std::uint64_t> statusLines;      // the console's own lines, "[console] ..."
    std::atomic<std::uint64_t> announced;        // the sum of N over "[console] N lines dropped"
    std::atomic<std::uint64_t> framePaints;      // the view's frame (its scroll bar) repainted,
                                                 // since the last append
    std::atomic<std::int64_t> lastAppendEnd;     // ProbeTicks() when the last append returned
    std::atomic<std::uint64_t> cutUnits;         // appended units the view did not take (its
                                                 // text limit cuts what doesn't fit)
    std::atomic<std::uint64_t> clientAnnounced;  // the sum of N over "[client] N lines dropped"
    ProbeStream streams[kProbeStreams];
};

// QueryPerformanceCounter: one clock for every process on the machine.
inline std::int64_t ProbeTicks() {
    LARGE_INTEGER ticks{};
    QueryPerformanceCounter(&ticks);
    return ticks.QuadPart;
}

inline double ProbeSeconds(std::int64_t ticks) {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
}

inline std::wstring ProbeMappingName(DWORD consolePid) {
    return L"Local\\nemora-view-probe-" + std::to_wstring(consolePid);
}

inline constexpr char kProbeHookProc[] = "NemoraProbeCallWndProc";

}  // namespace nemora::test
