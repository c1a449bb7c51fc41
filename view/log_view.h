#pragma once

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "client/nemora_protocol.h"
#include "view/at_most_every.h"
#include "view/drain_pacer.h"

namespace nemora {

// Above this many UTF-16 units the older half of the view's text is removed.
inline constexpr int kTrimThreshold = 262144;

// The most one drain appends, in UTF-16 units of layout cost (LayoutCost):
// input, repaints and every sent message wait while a drain runs. The budget
// bounds the work of a drain, never what is shown: the Lines beyond it stay
// queued, in order, and the drain asks for the next drain itself.
inline constexpr std::size_t kDrainBudgetUnits = kTrimThreshold / 2;

// A drain takes and appends its Lines in pieces of at most this layout cost
// (one Line at least), and aims to end, the repaint after it included, within
// the time target: input, repaints and every sent message wait while it runs.
// How fast the edit control lays text out depends on the Lines (a 4 KiB Line
// wraps over dozens of rows and may cost more than a whole piece of short
// ones), on the machine and on how busy it is, and a minimised view wraps every character,
// so the pieces after the first are sized by what earlier pieces cost
// (DrainPacer): a drain never starts a piece it expects to overrun the
// target with, yet always takes its first one.
inline constexpr std::size_t kDrainPieceUnits = kDrainBudgetUnits / 4;
inline constexpr auto kDrainTimeTarget = std::chrono::milliseconds(50);

// Lines up to this many units cost their length; a longer Line, which wraps
// over several rows, costs more per unit the longer it is, since the edit
// control measures the rest of the Line again for every row it breaks off.
inline constexpr std::size_t kWrapCostUnits = 400;

// The cost of laying out a Line of this many units (its line break included).
constexpr std::size_t LayoutCost(std::size_t units) {
    return units <= kWrapCostUnits ? units : units * units / kWrapCostUnits;
}

// What the edit control is allowed to hold: the threshold plus a whole drain
// (the trim is looked at before each piece, so the text passes the threshold
// by one piece at most), far above the control's default of 32,767 (30,000 under Wine).
inline constexpr int kViewTextLimit = kTrimThreshold + static_cast<int>(kDrainBudgetUnits) + 1024;

// Said in the view in place of Lines that will never be shown, before the first
// Line after them: "[console] N lines dropped".
inline constexpr wchar_t kDroppedNoticeStart[] = NEMORA_WIDE(NEMORA_CONSOLE_NOTICE_START);
inline constexpr wchar_t kDroppedNoticeEnd[] = NEMORA_WIDE(NEMORA_NOTICE_LINES_DROPPED);

// The view's edit control style: child, visible, vertical scroll bar,
// multi-line, read-only; no horizontal scrolling, so long lines wrap.
inline constexpr DWORD kLogViewStyle =
    WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY;
static_assert(kLogViewStyle == 0x50200844);

// Repainting the view's scroll bar costs more than repainting its text (see
// docs/performance.md), and while Lines keep coming its thumb hardly
// moves: drains leave it stale, for RefreshScrollBar to repaint once the
// window is idle, at most this often; drains that follow each other for this
// long (a flood: the window is never idle) repaint it themselves.
inline constexpr auto kScrollBarInterval = std::chrono::milliseconds(200);

// Creates the view's edit control filling the parent's client area, with its
// text limit raised for the trim threshold plus one drain.
HWND CreateLogView(HWND parent, HINSTANCE instance);

// The edit control that shows the Lines, and what its drains remember: how
// fast recent pieces and repaints went, the scroll bar's staleness, and Lines
// given up but not yet announced. One per view, used on the window's thread.
class LogView {
  public:
    using Clock = std::chrono::steady_clock;
    using Now = Clock::time_point (*)();

    // Without a control (null) nothing is drained: the Lines stay queued.
    // Everything the view times or paces goes by `now`.
    explicit LogView(HWND control = nullptr, Now now = Clock::now) : control_(control), now_(now) {}

    HWND Control() const { return control_; }

    // Takes the oldest pending Lines, up to one drain's budget and its time
    // target, trims the view whenever it has passed the threshold, appends
    // them, and scrolls to the bottom once. Where Lines were dropped (by the
    // queue's limit, or given up because more waited than the view can hold),
    // a notice takes their place. True if Lines are still waiting: the caller
    // asks for another drain. An empty queue changes nothing.
    [[nodiscard]] bool Drain();

    // The window's repaint after a drain took this long: drains leave room for it.
    void RepaintTook(Clock::duration took) { pacer_.RepaintTook(took); }

    // Whether a drain has changed the scroll bar without having it repainted.
    bool ScrollBarStale() const { return staleSince_.has_value(); }
    // How long until the scroll bar's last repaint is kScrollBarInterval ago; 0 when it is.
    std::chrono::milliseconds ScrollBarRefreshDelay() const;
    // Has the scroll bar repainted with the next paint, if it is stale.
    void RefreshScrollBar();

  private:
    struct Piece;
    Piece TakePiece(std::size_t allowed, bool first);
    // After a drain's changes, with drawing switched back on.
    void InvalidateAfterDrain(bool paintNow);

    HWND control_;
    Now now_;
    DrainPacer pacer_{kDrainTimeTarget};
    AtMostEvery scrollBarRepaint_{kScrollBarInterval};
    std::optional<Clock::time_point> staleSince_;  // when a drain left the bar stale
    // Lines given up by a take that then took none: announced before the next
    // Line taken, where they are missing, so that one gap gets one notice.
    std::size_t unannounced_ = 0;
};

}  // namespace nemora
