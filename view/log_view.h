#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace nemora {

// Above this many UTF-16 units the older half of the view's text is removed.
inline constexpr int kTrimThreshold = 262144;

// The most text one drain appends. A drain that finds more (a flood that
// outran the view) shows only the newest Lines that fit and drops the older
// ones, as the queue drops its overflow: appending more would hold the window
// thread for seconds to show text the next trims remove at once.
inline constexpr std::size_t kDrainBudgetUnits = kTrimThreshold / 2;

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

// Creates the log view filling the parent's client area, with its text limit
// raised for the trim threshold plus one drain. Does not set logViewWindow.
HWND CreateLogView(HWND parent, HINSTANCE instance);

// Window's thread: takes every pending Line, trims the view once if it has
// passed the threshold, appends the newest Lines that fit one drain's budget
// as one batch, and scrolls to the bottom once. An empty queue changes nothing.
void DrainToLogView();

// Appends text (whole lines, each ended by "\r\n") at the end of the view, not undoable.
void AppendLines(const std::wstring& text);

// Lines a drain dropped to keep within its budget, since the process started.
std::size_t DrainDroppedLines();

}  // namespace nemora
