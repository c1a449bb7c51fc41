#pragma once

// The time-stamp counter as the benchmarks' clock for single calls: a read costs
// a few nanoseconds, where the performance counter costs a system call under Wine.

#include <windows.h>

#include <intrin.h>

#include <cstdint>

namespace nemora::bench {

// Time-stamp counter ticks per nanosecond, measured against the performance counter.
inline double TicksPerNs() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const std::uint64_t ticksStart = __rdtsc();
    Sleep(200);
    QueryPerformanceCounter(&end);
    const std::uint64_t ticksEnd = __rdtsc();
    const double ns = double(end.QuadPart - start.QuadPart) * 1e9 / double(frequency.QuadPart);
    return double(ticksEnd - ticksStart) / ns;
}

}  // namespace nemora::bench
