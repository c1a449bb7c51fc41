#include "view/log_view.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "handoff/handoff.h"
#include "view/line_conversion.h"

namespace nemora {

HWND logViewWindow = nullptr;

namespace {

using Clock = std::chrono::steady_clock;

// Batches of at most this many units are painted as soon as they are
// appended, bigger ones with the next frame (DrawingHeld).
constexpr std::size_t kPaintAtOnceUnits = 16384;

std::size_t drainDropped = 0;
std::size_t drainBudget = kDrainBudgetUnits;

Clock::time_point scrollBarPainted{};
Clock::time_point scrollBarStaleSince{};
bool scrollBarStale = false;

constexpr wchar_t kLineBreak[] = L"\r\n";
constexpr std::size_t kLineBreakUnits = 2;

// Given the view's text length. The cut falls exactly at half the length,
// wherever that is (inside a line, between CR and LF, or inside a surrogate
// pair): the next lines are unaffected.
void TrimIfOverThreshold(int length) {
    if (length > kTrimThreshold) {
        SendMessageW(logViewWindow, EM_SETSEL, 0, length / 2);
        SendMessageW(logViewWindow, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
    }
}

// Index of the oldest Line of the newest run whose layout cost fits the
// budget, and that run's cost; the newest Line is always taken. A Line's
// bytes bound its UTF-16 units from above, so the run is measured without
// converting anything twice.
std::size_t FirstLineWithinBudget(const std::vector<Line>& lines, std::size_t budget,
                                  std::size_t& cost) {
    cost = 0;
    std::size_t first = lines.size();
    while (first > 0) {
        const std::size_t next = cost + LayoutCost(lines[first - 1].size() + kLineBreakUnits);
        if (next > budget && first < lines.size()) {
            break;
        }
        cost = next;
        --first;
    }
    return first;
}

// Moves the budget halfway towards what the speed of a batch that cost
// `cost` and took `took` to append would fit into kDrainTimeTarget.
void AdjustBudget(std::size_t cost, Clock::duration took) {
    if (cost < drainBudget / 2) {
        // A small batch pays the control's fixed cost per append over few
        // units and would look slow: only batches that fill the budget tell.
        return;
    }
    const double ms = std::max(std::chrono::duration<double, std::milli>(took).count(), 0.1);
    const double target = std::clamp(static_cast<double>(cost) * kDrainTimeTarget.count() / ms,
                                     static_cast<double>(kMinDrainBudgetUnits),
                                     static_cast<double>(kDrainBudgetUnits));
    drainBudget = (drainBudget + static_cast<std::size_t>(target)) / 2;
}

// While a drain changes the view, the view is left out of drawing by the window
// manager's own redraw switch (DefWindowProc's WM_SETREDRAW; the edit control
// answers WM_SETREDRAW itself and, under Wine, keeps drawing its scroll bar):
// the trim, the append and the scroll then only change the control's state,
// and one invalidation afterwards has the text and the scroll bar painted
// once. Drawn as the control goes, the scroll bar alone costs about 9 ms per
// append under Wine (it is drawn twice), more than laying out a few hundred
// lines, and a trim redraws the whole view.
// Switching drawing back on has the whole frame repainted too: the scroll bar
// is left out of that and marked stale, unless it has been stale for
// kScrollBarInterval already (only while drains follow each other, as under a
// flood: otherwise the window's timer has it repainted first).
// Only the view is switched, never the top-level window: input keeps going to
// the console's thread, and which child it is for is decided when it is read,
// after the drain.
class DrawingHeld {
  public:
    // With paintNow, the view is painted as soon as the drain is done;
    // otherwise with the next paint.
    DrawingHeld(HWND view, bool paintNow)
        : view_(view),
          held_((GetWindowLongPtrW(view, GWL_STYLE) & WS_VISIBLE) != 0),
          paintNow_(paintNow) {
        if (held_) {
            DefWindowProcW(view_, WM_SETREDRAW, FALSE, 0);
        }
    }
    ~DrawingHeld() {
        if (!held_) {
            return;
        }
        DefWindowProcW(view_, WM_SETREDRAW, TRUE, 0);
        const UINT update = paintNow_ ? RDW_UPDATENOW : 0;
        const auto now = Clock::now();
        if (scrollBarStale && now - scrollBarStaleSince >= kScrollBarInterval) {
            RedrawWindow(view_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | update);
            scrollBarPainted = now;
            scrollBarStale = false;
        } else {
            RedrawWindow(view_, nullptr, nullptr, RDW_VALIDATE | RDW_NOFRAME | RDW_NOCHILDREN);
            RedrawWindow(view_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | update);
            if (!scrollBarStale) {
                scrollBarStale = true;
                scrollBarStaleSince = now;
            }
        }
    }
    DrawingHeld(const DrawingHeld&) = delete;
    DrawingHeld& operator=(const DrawingHeld&) = delete;

  private:
    HWND view_;
    bool held_;
    bool paintNow_;
};

}  // namespace

HWND CreateLogView(HWND parent, HINSTANCE instance) {
    RECT client{};
    GetClientRect(parent, &client);
    HWND view = CreateWindowExW(0, L"EDIT", L"", kLogViewStyle, 0, 0, client.right - client.left,
                                client.bottom - client.top, parent, nullptr, instance, nullptr);
    if (view != nullptr) {
        SendMessageW(view, EM_SETLIMITTEXT, kViewTextLimit, 0);
    }
    return view;
}

bool ScrollBarStale() {
    return scrollBarStale;
}

std::chrono::milliseconds ScrollBarRefreshDelay() {
    const auto due = scrollBarPainted + kScrollBarInterval;
    const auto now = Clock::now();
    return due > now ? std::chrono::ceil<std::chrono::milliseconds>(due - now)
                     : std::chrono::milliseconds(0);
}

void RefreshScrollBar() {
    if (!scrollBarStale || logViewWindow == nullptr) {
        return;
    }
    // Only the bar: its rectangle in the view's client coordinates lies outside
    // the client area, so the text is not repainted with it.
    SCROLLBARINFO bar{};
    bar.cbSize = sizeof(bar);
    if (GetScrollBarInfo(logViewWindow, OBJID_VSCROLL, &bar)) {
        RECT area = bar.rcScrollBar;
        MapWindowPoints(nullptr, logViewWindow, reinterpret_cast<POINT*>(&area), 2);
        RedrawWindow(logViewWindow, &area, nullptr, RDW_INVALIDATE | RDW_FRAME | RDW_NOERASE);
    } else {
        RedrawWindow(logViewWindow, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME);
    }
    scrollBarPainted = Clock::now();
    scrollBarStale = false;
}

void AppendLines(const std::wstring& text) {
    // An empty selection at the very end, whatever the user clicked or selected.
    const int length = GetWindowTextLengthW(logViewWindow);
    SendMessageW(logViewWindow, EM_SETSEL, length, length);
    SendMessageW(logViewWindow, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

void DrainToLogView() {
    if (logViewWindow == nullptr) {
        return;  // the Lines stay queued
    }
    std::vector<Line> lines = TakeAllLines();
    if (lines.empty()) {
        return;
    }
    std::size_t cost = 0;
    const std::size_t first = FirstLineWithinBudget(lines, drainBudget, cost);
    drainDropped += first;
    std::wstring batch;
    std::size_t bound = 0;
    for (std::size_t i = first; i < lines.size(); ++i) {
        bound += lines[i].size() + kLineBreakUnits;
    }
    batch.reserve(bound);
    for (std::size_t i = first; i < lines.size(); ++i) {
        AppendConvertedLine(batch, lines[i]);
        batch += kLineBreak;
    }
    RecycleLines(std::move(lines));

    // A few lines (up to kPaintAtOnceUnits) are painted at once, so that a
    // line shows the moment it arrives; after a trim or a big batch the view
    // is painted with the next frame instead, since drains that big follow
    // each other under a flood.
    const int length = GetWindowTextLengthW(logViewWindow);
    const bool trimDue = length > kTrimThreshold;
    const DrawingHeld held(logViewWindow, !trimDue && batch.size() <= kPaintAtOnceUnits);
    TrimIfOverThreshold(length);
    // One replace for the whole batch: the control lays out and paints once, not once per Line.
    const auto start = Clock::now();
    AppendLines(batch);
    SendMessageW(logViewWindow, WM_VSCROLL, SB_BOTTOM, 0);
    AdjustBudget(cost, Clock::now() - start);
}

std::size_t DrainDroppedLines() {
    return drainDropped;
}

std::size_t DrainBudgetUnits() {
    return drainBudget;
}

}  // namespace nemora
