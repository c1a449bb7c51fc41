#include "handoff/handoff.h"

#include <utility>

namespace nemora {

std::atomic<HWND> mainWindow{nullptr};
std::atomic<std::uint8_t> drainPending{0};
std::atomic<double> latestFps{0.0};

LineQueue& PendingLines() {
    static LineQueue* const queue = new LineQueue();  // never destroyed, see the header
    return *queue;
}

namespace {

void RequestDrain() {
    HWND window = mainWindow.load();
    if (window == nullptr) {
        return;
    }
    std::uint8_t expected = 0;
    if (!drainPending.compare_exchange_strong(expected, 1)) {
        return;  // a request is already outstanding; its drain will take this Line too
    }
    if (!PostMessageW(window, WM_CONSOLE_DRAIN, 0, 0)) {
        // The request never reached the window (its queue is full or it is gone):
        // clear the flag so that the next push asks again instead of never.
        drainPending.store(0);
    }
}

}  // namespace

void PushLine(const Line& line) {
    PushLine(Line(line));
}

void PushLine(Line&& line) {
    PendingLines().Push(std::move(line));
    RequestDrain();  // after the unlock: no window-system call under the queue's mutex
}

std::vector<Line> TakeAllLines() {
    return PendingLines().TakeAll();
}

void PublishFps(double fps) {
    latestFps.store(fps, std::memory_order_relaxed);
    if (HWND window = mainWindow.load(); window != nullptr) {
        PostMessageW(window, WM_CONSOLE_FPS, 0, 0);
    }
}

}  // namespace nemora
