#include "handoff/handoff.h"

#include <utility>

#include "text/line_conversion.h"

namespace nemora {

std::atomic<HWND> mainWindow{nullptr};
std::atomic<std::uint8_t> drainPending{0};
std::atomic<std::uint8_t> fpsPending{0};
std::atomic<double> latestFps{0.0};
std::atomic<std::uint64_t> fpsReadings{0};

LineQueue& PendingLines() {
    static LineQueue* const queue = new LineQueue();  // never destroyed, see the header
    return *queue;
}

namespace {

// Posts the message unless one is already outstanding (flag set); its handler
// will see this Line or reading too.
void PostOnce(std::atomic<std::uint8_t>& pending, UINT message) {
    HWND window = mainWindow.load();
    if (window == nullptr) {
        return;
    }
    std::uint8_t expected = 0;
    if (!pending.compare_exchange_strong(expected, 1)) {
        return;
    }
    if (!PostMessageW(window, message, 0, 0)) {
        // The request never reached the window (its queue is full or it is gone):
        // clear the flag so that the next push asks again instead of never.
        pending.store(0);
    }
}

}  // namespace

void PushLine(std::string_view line) {
    // Counted here, once per Line and outside the queue's lock, by the
    // converter the view will use: the drain rules then know exactly what
    // each waiting Line takes in the view without looking at its bytes.
    PendingLines().Push(line, Utf16Units(line));
    // After the unlock: no window-system call under the queue's mutex.
    RequestDrain();
}

void RequestDrain() {
    PostOnce(drainPending, WM_CONSOLE_DRAIN);
}

void RequestNextDrain() {
    HWND window = mainWindow.load();
    if (window == nullptr || !PostMessageW(window, WM_CONSOLE_DRAIN, 0, 0)) {
        drainPending.store(0);
    }
}

void FinishDrain(bool linesLeft) {
    if (linesLeft) {
        RequestNextDrain();
        return;
    }
    drainPending.exchange(0);
    if (!PendingLines().Empty()) {
        RequestDrain();
    }
}

void RecycleLines(std::vector<Line>&& lines) {
    PendingLines().Recycle(std::move(lines));
}

void PublishFps(double fps) {
    // Sequentially consistent, with the flag: a reading stored before a post
    // found the flag set is seen by the update that clears it.
    latestFps.store(fps);
    fpsReadings.fetch_add(1);  // after the reading: a count seen means its reading is too
    PostOnce(fpsPending, WM_CONSOLE_FPS);
}

}  // namespace nemora
