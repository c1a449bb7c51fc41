#pragma once

// The bridge from the listener thread to the window's thread: the process-wide
// queue of pending Lines, the flag that keeps at most one drain request in the
// window's message queue, and the slot for the latest frame-rate reading.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string_view>
#include <vector>

#include "handoff/line.h"
#include "handoff/line_queue.h"

namespace nemora {

// Private window messages; both are posted with wParam 0 and lParam 0.
inline constexpr UINT WM_CONSOLE_DRAIN = WM_USER + 1;  // Lines are waiting in the queue
inline constexpr UINT WM_CONSOLE_FPS = WM_USER + 2;    // latestFps holds a new reading

// The top-level window; null until the window's thread publishes it. Posts go
// to it only once it is set.
extern std::atomic<HWND> mainWindow;
// 1 while a WM_CONSOLE_DRAIN is posted and its handler has not yet started,
// and while a drain runs that will post the next one itself (RequestNextDrain).
extern std::atomic<std::uint8_t> drainPending;
// 1 while a WM_CONSOLE_FPS is posted and its title update has not yet
// started. Readings are coalesced like drain requests: a client writing
// readings faster than the window re-titles itself would otherwise fill the
// window's queue with one posted message per reading (on Windows, up to the
// 10,000-message quota, after which every post to the window fails, drain
// requests included), and input, paint and closing would wait behind them.
extern std::atomic<std::uint8_t> fpsPending;
// The last frame-rate reading, 0.0 at start.
extern std::atomic<double> latestFps;
// How many readings have been published. The title update loads it before
// latestFps, and its pacer shows a reading whose post failed once the count
// has moved past what the title showed.
extern std::atomic<std::uint64_t> fpsReadings;

// The process-wide queue. Allocated once and never freed: the listener thread
// may push until the very last instant of the process.
LineQueue& PendingLines();

// Any thread: queues a copy of the Line (dropping the oldest past the limit)
// and posts a drain request unless one is already outstanding.
void PushLine(std::string_view line);

// Any thread: posts a drain request unless one is already outstanding. The
// window's thread asks for one itself when a drain leaves Lines waiting.
void RequestDrain();

// Window's thread, at the end of a drain that left Lines waiting: posts the
// next drain request with drainPending still set, so that the listener posts
// none while the window works a backlog off (each post is a round trip to the
// window system, which under Wine can wait milliseconds behind the window's
// own calls). Clears the flag if the post fails, so that the next push asks.
void RequestNextDrain();

// Window's thread, at the end of every drain, drainPending still set: with
// Lines left beyond the drain's budget, RequestNextDrain; with the queue found
// empty, clears the flag and looks again, so that a Line pushed in between
// (whose push posted nothing, the flag being set) gets its request.
void FinishDrain(bool linesLeft);

// Window's thread: hands back Lines taken earlier once they are shown, so that
// later pushes reuse their storage.
void RecycleLines(std::vector<Line>&& lines);

// Listener thread: stores the reading and posts a WM_CONSOLE_FPS unless one is
// already outstanding. The title update clears fpsPending (by exchange) before
// it loads latestFps, so the latest reading is always shown.
void PublishFps(double fps);

}  // namespace nemora
