#pragma once

// Watching the running console from outside while a load runs: its memory,
// how fast its window answers, and (through a hook library) every line it
// appends to its view.

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <optional>
#include <thread>

#include "driver/unique_handle.h"
#include "driver/view_probe_layout.h"

namespace nemora::test {

class ConsoleProcess;

// The process's peak working set in bytes so far; nullopt if it can't be read.
std::optional<std::size_t> PeakWorkingSet(HANDLE process);

// Sends WM_NULL to the window again and again from a thread of its own, each
// with a 2 s time-out, and keeps the slowest round trip and the misses.
class UiRoundTripSampler {
  public:
    static constexpr std::chrono::milliseconds kLimit{2000};
    static constexpr std::chrono::milliseconds kInterval{20};

    explicit UiRoundTripSampler(HWND window);
    ~UiRoundTripSampler();
    UiRoundTripSampler(const UiRoundTripSampler&) = delete;
    UiRoundTripSampler& operator=(const UiRoundTripSampler&) = delete;

    // Ends the sampling; the figures stay readable.
    void Stop();

    std::chrono::milliseconds Slowest() const {
        return std::chrono::milliseconds(slowestMs_.load());
    }
    std::size_t Samples() const { return samples_.load(); }
    // Round trips that got no answer within kLimit.
    std::size_t Misses() const { return misses_.load(); }

  private:
    void Run(HWND window);

    std::atomic<bool> stop_{false};
    std::atomic<long long> slowestMs_{0};
    std::atomic<std::size_t> samples_{0};
    std::atomic<std::size_t> misses_{0};
    std::thread thread_;
};

// Loads the view probe library into the console's window thread (through a
// hook, removed again once the library has subclassed the view) and reads
// what it records.
class ViewProbe {
  public:
    ViewProbe() = default;
    ~ViewProbe();
    ViewProbe(const ViewProbe&) = delete;
    ViewProbe& operator=(const ViewProbe&) = delete;

    // Call after the console's start line shows; counts from then on. Once per
    // console process: the library stays in it.
    bool Attach(const ConsoleProcess& console);
    const ProbeCounters& counters() const { return *counters_; }
    const ProbeStream& stream(char name) const { return counters_->streams[name - 'A']; }

  private:
    UniqueHandle mapping_;
    ProbeCounters* counters_ = nullptr;
    HMODULE library_ = nullptr;
    HHOOK hook_ = nullptr;
};

}  // namespace nemora::test
