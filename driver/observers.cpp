#include "driver/observers.h"

#include <psapi.h>

#include <chrono>
#include <cstdint>
#include <new>

#include "driver/console_process.h"

namespace nemora::test {

std::optional<std::size_t> PeakWorkingSet(HANDLE process) {
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    if (!GetProcessMemoryInfo(process, &memory, sizeof(memory))) {
        return std::nullopt;
    }
    return memory.PeakWorkingSetSize;
}

UiRoundTripSampler::UiRoundTripSampler(HWND window) : thread_([this, window] { Run(window); }) {}

UiRoundTripSampler::~UiRoundTripSampler() {
    Stop();
}

void UiRoundTripSampler::Stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

void UiRoundTripSampler::Run(HWND window) {
    using Clock = std::chrono::steady_clock;
    while (!stop_) {
        const auto sent = Clock::now();
        DWORD_PTR result = 0;
        const bool answered = SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL,
                                                  static_cast<UINT>(kLimit.count()), &result) != 0;
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent);
        if (!answered) {
            if (!IsWindow(window)) {
                return;  // the console has gone: nothing more to measure
            }
            ++misses_;
        }
        ++samples_;
        if (took.count() > slowestMs_) {
            slowestMs_ = took.count();
        }
        std::this_thread::sleep_for(kInterval);
    }
}

ViewProbe::~ViewProbe() {
    if (hook_ != nullptr) {
        UnhookWindowsHookEx(hook_);
    }
    if (library_ != nullptr) {
        FreeLibrary(library_);
    }
    if (counters_ != nullptr) {
        UnmapViewOfFile(counters_);
    }
}

bool ViewProbe::Attach(const ConsoleProcess& console) {
    mapping_.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      sizeof(ProbeCounters),
                                      ProbeMappingName(console.pid()).c_str()));
    if (!mapping_) {
        return false;
    }
    void* view = MapViewOfFile(mapping_.get(), FILE_MAP_WRITE, 0, 0, sizeof(ProbeCounters));
    if (view == nullptr) {
        return false;
    }
    counters_ = new (view) ProbeCounters{};
    for (auto& stream : counters_->streams) {
        stream.last = -1;
    }
    library_ = LoadLibraryW(BuildTreePath(L"driver\\nemora-view-probe.dll").c_str());
    if (library_ == nullptr) {
        return false;
    }
    // Through void*: FARPROC and HOOKPROC are both function pointers of different shapes.
    const auto proc = reinterpret_cast<HOOKPROC>(
        reinterpret_cast<void*>(GetProcAddress(library_, kProbeHookProc)));
    counters_->view = reinterpret_cast<std::uintptr_t>(console.view());
    const DWORD thread = GetWindowThreadProcessId(console.window(), nullptr);
    hook_ = proc != nullptr ? SetWindowsHookExW(WH_CALLWNDPROC, proc, library_, thread) : nullptr;
    if (hook_ == nullptr) {
        return false;
    }
    // The hook runs with the next message the thread handles: send one, and
    // once the library watches the view itself, unhook.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (counters_->subclassed.load() == 0) {
        DWORD_PTR result = 0;
        SendMessageTimeoutW(console.view(), WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result);
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
    }
    UnhookWindowsHookEx(hook_);
    hook_ = nullptr;
    return true;
}

}  // namespace nemora::test
