#include "view/log_view.h"

#include <algorithm>
#include <deque>
#include <string>
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

// How many of the waiting Lines a drain gives up, and how many after those it
// takes for its next piece of at most `budget` layout cost (one Line at least).
//
// Two rules give up Lines, both oldest first, and every Line they give up is
// said in the view by a notice. The queue's limit (kMaxPendingLines) drops
// Lines as they are pushed, to bound the memory a client can take. Here, only
// when the Lines waiting need more units than the trim threshold, the oldest
// beyond it are given up: the trims that the newer ones bring would remove
// them before anyone could read them, and working them off would only keep
// the view further behind a flood. Any backlog the view can hold is shown
// whole. `bytes` bounds the units from above, so the Lines are counted one by
// one only when it passes the threshold.
TakeChoice ChoosePiece(const std::deque<Line>& waiting, std::size_t bytes, std::size_t budget) {
    TakeChoice choice;
    if (bytes + kLineBreakUnits * waiting.size() > static_cast<std::size_t>(kTrimThreshold)) {
        std::size_t units = 0;
        std::size_t kept = 0;
        for (auto line = waiting.rbegin(); line != waiting.rend(); ++line, ++kept) {
            units += Utf16Units(*line) + kLineBreakUnits;
            if (units > static_cast<std::size_t>(kTrimThreshold) && kept > 0) {
                break;
            }
        }
        choice.giveUp = waiting.size() - kept;
    }
    std::size_t cost = 0;
    for (std::size_t i = choice.giveUp; i < waiting.size(); ++i) {
        cost += LayoutCost(waiting[i].size() + kLineBreakUnits);
        if (cost > budget && choice.take > 0) {
            break;
        }
        ++choice.take;
    }
    return choice;
}

// One piece of a drain: the text to append, a notice first where Lines were
// dropped, and its layout cost. A Line's bytes bound its UTF-16 units from
// above, so the cost is known without converting anything twice.
struct Piece {
    std::wstring text;
    std::size_t cost = 0;
    bool more = false;  // Lines are still waiting after it
};

Piece TakePiece(std::size_t budget) {
    TakenLines taken =
        PendingLines().Take([budget](const std::deque<Line>& waiting, std::size_t bytes) {
            return ChoosePiece(waiting, bytes, budget);
        });
    Piece piece;
    piece.more = taken.more;
    std::size_t bound = 0;
    for (const Line& line : taken.lines) {
        bound += line.size() + kLineBreakUnits;
    }
    piece.text.reserve(bound + (taken.dropped > 0 ? 64 : 0));
    if (taken.dropped > 0) {
        // Made here, on the window's thread, as the Lines are taken: nothing can drop it.
        piece.text += kDroppedNoticeStart;
        piece.text += std::to_wstring(taken.dropped);
        piece.text += kDroppedNoticeEnd;
        piece.text += kLineBreak;
    }
    for (const Line& line : taken.lines) {
        AppendConvertedLine(piece.text, line);
        piece.text += kLineBreak;
        piece.cost += LayoutCost(line.size() + kLineBreakUnits);
    }
    RecycleLines(std::move(taken.lines));
    return piece;
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

bool DrainToLogView() {
    if (logViewWindow == nullptr) {
        return false;  // the Lines stay queued
    }
    const auto start = Clock::now();
    Piece piece = TakePiece(kDrainPieceUnits);
    if (piece.text.empty()) {
        return false;
    }
    // A few lines (up to kPaintAtOnceUnits) are painted at once, so that a
    // line shows the moment it arrives; after a trim or with more to come the
    // view is painted with the next frame instead, since drains that big
    // follow each other under a flood.
    const bool paintNow = !piece.more && piece.text.size() <= kPaintAtOnceUnits &&
                          GetWindowTextLengthW(logViewWindow) <= kTrimThreshold;
    const DrawingHeld held(logViewWindow, paintNow);
    std::size_t spent = 0;
    for (;;) {
        TrimIfOverThreshold(GetWindowTextLengthW(logViewWindow));
        // One replace for the whole piece: the control lays out once, not once per Line.
        AppendLines(piece.text);
        spent += piece.cost;
        if (!piece.more || spent >= kDrainBudgetUnits || Clock::now() - start >= kDrainTimeTarget) {
            break;
        }
        piece = TakePiece(std::min(kDrainPieceUnits, kDrainBudgetUnits - spent));
    }
    SendMessageW(logViewWindow, WM_VSCROLL, SB_BOTTOM, 0);
    return !PendingLines().Empty();
}

}  // namespace nemora
