#pragma once

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <string>

namespace nemora {

// Above this many UTF-16 units the older half of the view's text is removed.
inline constexpr int kTrimThreshold = 262144;

// The most one drain appends, in UTF-16 units of layout cost (LayoutCost). A
// drain that finds more (a flood that outran the view) shows only the newest
// Lines that fit and drops the older ones, as the queue drops its overflow:
// input, repaints and every sent message wait while a drain runs, and more
// text would only be removed again by the next trims. Every drain gets the
// whole budget, a full queue too: each drain has a fixed cost besides its
// lines (its take, its window-system calls, the messages handled between two
// drains), and under a flood halving the budget cost about a tenth of the
// lines the view could show, for round trips that stay within 100 ms either
// way.
inline constexpr std::size_t kDrainBudgetUnits = kTrimThreshold / 2;

// How long appending one drain's batch should hold the window's thread at
// most; the rest of a drain (the trim, the conversion) costs far less and
// doesn't grow with the batch, and messages sent to the window are answered
// before the repaint that follows. After each batch that fills at least
// half the budget, the budget is moved halfway towards what that batch's
// speed would fit in this time (so one slow spell, the thread preempted, only
// halves it), within kMinDrainBudgetUnits and kDrainBudgetUnits: how fast the
// edit control lays text out depends on the machine and on how busy it is.
// Under Wine on a 2-core machine a full budget of short lines takes 23-35 ms
// while a client floods the console, so the budget shrinks only when the
// machine is much slower or busier (or the view is minimised, and every
// character wraps onto a row of its own). The floor keeps a busy spell from
// making the view drop lines at rates it can show.
inline constexpr auto kDrainTimeTarget = std::chrono::milliseconds(60);
inline constexpr std::size_t kMinDrainBudgetUnits = 65536;

// Lines up to this many units cost their length; a longer Line, which wraps
// over several rows, costs more per unit the longer it is, since the edit
// control measures the rest of the Line again for every row it breaks off.
inline constexpr std::size_t kWrapCostUnits = 400;

// The cost of laying out a Line of this many units (its line break included).
constexpr std::size_t LayoutCost(std::size_t units) {
    return units <= kWrapCostUnits ? units : units * units / kWrapCostUnits;
}

// What the edit control is allowed to hold: the threshold plus one full drain,
// far above the control's default of 32,767 (30,000 under Wine).
inline constexpr int kViewTextLimit = kTrimThreshold + static_cast<int>(kDrainBudgetUnits) + 1024;

// The view's edit control style: child, visible, vertical scroll bar,
// multi-line, read-only; no horizontal scrolling, so long lines wrap.
inline constexpr DWORD kLogViewStyle =
    WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY;
static_assert(kLogViewStyle == 0x50200844);

// The edit control that shows the Lines; window's thread only, null until created.
extern HWND logViewWindow;

// Repainting the view's scroll bar costs more than repainting its text (about
// 4 ms against 2 ms under Wine), and while Lines keep coming its thumb hardly
// moves: drains leave it stale, for RefreshScrollBar to repaint once the
// window is idle, at most this often; drains that follow each other for this
// long (a flood: the window is never idle) repaint it themselves.
inline constexpr auto kScrollBarInterval = std::chrono::milliseconds(200);

// Creates the log view filling the parent's client area, with its text limit
// raised for the trim threshold plus one drain. Does not set logViewWindow.
HWND CreateLogView(HWND parent, HINSTANCE instance);

// Window's thread: takes every pending Line, trims the view once if it has
// passed the threshold, appends the newest Lines whose layout cost fits one
// drain's budget as one batch, and scrolls to the bottom once. An empty queue changes nothing.
void DrainToLogView();

// Whether a drain has changed the scroll bar without having it repainted.
bool ScrollBarStale();

// How long until the scroll bar's last repaint is kScrollBarInterval ago; 0 when it is.
std::chrono::milliseconds ScrollBarRefreshDelay();

// Has the scroll bar repainted with the next paint, if it is stale.
void RefreshScrollBar();

// Appends text (whole lines, each ended by "\r\n") at the end of the view, not undoable.
void AppendLines(const std::wstring& text);

// Lines a drain dropped to keep within its budget, since the process started.
std::size_t DrainDroppedLines();

// The budget of the next drain, in units of layout cost.
std::size_t DrainBudgetUnits();

}  // namespace nemora
