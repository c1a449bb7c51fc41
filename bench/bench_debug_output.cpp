// What one OutputDebugStringA call costs the host, per call (median and p99,
// in nanoseconds), three ways in one run:
// - nobody takes the strings: the system's own channel, no reader on it;
// - a DebugClient takes them (captureDebugOutput), queuing each as a line;
// - the floor: a bare vectored handler that takes the exception, discards the
//   string and lets the call return.
// The target: the client's capture at most twice the floor, in the same run.
//
// The cases take turns, in rounds, so that a machine that speeds up or slows
// down meanwhile weighs on all three alike. The client writes to a pipe name
// nobody serves: its writer takes nothing, and the figures are the call's
// alone. Its buffer is kept small and filled before the clock starts, so each
// call queues a line and drops the oldest in memory already in use, as in a
// host that has logged for a while (the first pass over fresh memory costs a
// page fault every few dozen lines).
//
// Run: bench_debug_output.exe [calls per case and round]   (default 2000; 24 rounds)

#include <windows.h>

#include <intrin.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string_view>
#include <vector>

#include "nemora_client.h"
#include "tsc_clock.h"

namespace {

using nemora::bench::TicksPerNs;

// A typical debug line, as hosts write it.
constexpr char kLine[] = "frame 123456: position=(12.5, -3.25, 8.0) speed=4.75 state=run\n";
constexpr int kRounds = 24;
constexpr double kTargetRatio = 2.0;
constexpr wchar_t kUnservedPipeName[] = L"\\\\.\\pipe\\nemora-bench-unserved";
constexpr DWORD kNarrowDebugString = 0x40010006;
constexpr std::size_t kBufferedLines = 1000;

LONG CALLBACK Discard(EXCEPTION_POINTERS* exception) {
    return exception->ExceptionRecord->ExceptionCode == kNarrowDebugString
               ? EXCEPTION_CONTINUE_EXECUTION
               : EXCEPTION_CONTINUE_SEARCH;
}

void TimeCalls(std::size_t count, std::vector<std::uint64_t>& ticks) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t start = __rdtsc();
        OutputDebugStringA(kLine);
        ticks.push_back(__rdtsc() - start);
    }
}

struct Figures {
    double median = 0;
    double p99 = 0;
};

Figures In(std::vector<std::uint64_t>& ticks, double ticksPerNs) {
    std::sort(ticks.begin(), ticks.end());
    const auto at = [&](double q) {
        return double(ticks[std::min(ticks.size() - 1, std::size_t(q * ticks.size()))]) /
               ticksPerNs;
    };
    return {at(0.5), at(0.99)};
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t calls = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2000;
    if (calls < 100) {
        std::fprintf(stderr,
                     "usage: bench_debug_output [calls per case and round, at least 100]\n");
        return 2;
    }
    const double ticksPerNs = TicksPerNs();
    std::printf(
        "OutputDebugStringA of %zu bytes, %d rounds of %zu calls per case,"
        " time-stamp counter at %.3f GHz\n",
        std::string_view(kLine).size(), kRounds, calls, ticksPerNs);

    std::vector<std::uint64_t> none;
    std::vector<std::uint64_t> captured;
    std::vector<std::uint64_t> bare;
    bool capturing = true;
    const auto noReader = [&] { TimeCalls(calls, none); };
    const auto capture = [&] {
        nemora::DebugClientOptions options;
        options.captureDebugOutput = true;
        options.pipeName = kUnservedPipeName;
        options.flushTimeout = {};
        options.maxBufferedLines = kBufferedLines;
        nemora::DebugClient client(options);
        capturing = capturing && client.CapturingDebugOutput();
        for (std::size_t i = 0; i < 2 * kBufferedLines; ++i) {
            OutputDebugStringA(kLine);
        }
        TimeCalls(calls, captured);
    };
    const auto floor = [&] {
        const PVOID handler = AddVectoredExceptionHandler(1, Discard);
        TimeCalls(calls, bare);
        RemoveVectoredExceptionHandler(handler);
    };
    // Each case comes first in some rounds, after each of the others in others.
    const std::function<void()> cases[] = {noReader, capture, floor};
    for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < 3; ++i) {
            cases[(round + i) % 3]();
        }
    }
    if (!capturing) {
        std::fprintf(stderr, "the client did not capture\n");
        return 1;
    }

    const Figures noReaderFigures = In(none, ticksPerNs);
    const Figures captureFigures = In(captured, ticksPerNs);
    const Figures floorFigures = In(bare, ticksPerNs);
    std::printf("\n%-52s %10s %10s\n", "OutputDebugStringA, ns per call", "median", "p99");
    std::printf("%-52s %10.0f %10.0f\n", "nobody takes the strings (no reader)",
                noReaderFigures.median, noReaderFigures.p99);
    std::printf("%-52s %10.0f %10.0f\n", "taken by the client (captureDebugOutput)",
                captureFigures.median, captureFigures.p99);
    std::printf("%-52s %10.0f %10.0f\n", "floor: a bare vectored handler that discards",
                floorFigures.median, floorFigures.p99);
    const double medianRatio = captureFigures.median / floorFigures.median;
    const double p99Ratio = captureFigures.p99 / floorFigures.p99;
    std::printf("\ncapture / floor: median %.2fx, p99 %.2fx (target <= %.0fx): %s\n", medianRatio,
                p99Ratio, kTargetRatio,
                medianRatio <= kTargetRatio && p99Ratio <= kTargetRatio ? "met" : "NOT met");
    std::printf("no reader / capture: median %.0fx cheaper with the capture\n",
                noReaderFigures.median / captureFigures.median);
    return 0;
}
