#include "view/log_view.h"

#include <algorithm>
#include <string>
#include <utility>

#include "handoff/handoff.h"
#include "text/line_conversion.h"

namespace nemora {

namespace {

// Batches of at most this many units are painted as soon as they are
// appended, bigger ones with the next frame.
constexpr std::size_t kPaintAtOnceUnits = 16384;

constexpr wchar_t kLineBreak[] = L"\r\n";
constexpr std::size_t kLineBreakUnits = 2;

// Given the view's text length. The cut falls exactly at half the length,
// wherever that is (inside a line, between CR and LF, or inside a surrogate
// pair): the next lines are unaffected.
// True if it trimmed.
bool TrimIfOverThreshold(HWND control) {
    const int length = GetWindowTextLengthW(control);
    if (length <= kTrimThreshold) {
        return false;
    }
    SendMessageW(control, EM_SETSEL, 0, length / 2);
    SendMessageW(control, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
    return true;
}

// Appends text (whole lines, each ended by "\r\n") at the end of the view, not undoable.
void AppendLines(HWND control, const std::wstring& text) {
    // An empty selection at the very end, whatever the user clicked or selected.
    const int length = GetWindowTextLengthW(control);
    SendMessageW(control, EM_SETSEL, length, length);
    SendMessageW(control, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

// Decides, Line by Line under the queue's lock, what the next piece of a
// drain gives up and takes: constant work per Line, from the queue's totals.
//
// Two rules give up Lines, both oldest first, and every Line they give up is
// said in the view by a notice. The queue's limit (kMaxPendingLines) drops
// Lines as they are pushed, to bound the memory a client can take. Here, only
// when the Lines waiting need more units than the trim threshold, the oldest
// beyond it are given up: the trims that the newer ones bring would remove
// them before anyone could read them, and working them off would only keep
// the view further behind a flood. Any backlog the view can hold is shown
// whole.
//
// Then the piece takes Lines while their layout cost stays within `size` (a
// single Line may pass it) and within `allowed`, what is left of the drain's
// budget and of its time; the first piece of a drain takes one Line whatever
// it costs.
class PieceChooser {
  public:
    PieceChooser(std::size_t size, std::size_t allowed, bool first)
        : size_(size), allowed_(allowed), first_(first) {}

    TakeStep operator()(const WaitingLines& waiting) {
        if (taken_ == 0 && waiting.lines > 1 &&
            waiting.units + kLineBreakUnits * waiting.lines >
                static_cast<std::size_t>(kTrimThreshold)) {
            return TakeStep::kGiveUp;
        }
        const std::size_t cost = cost_ + LayoutCost(waiting.frontUnits + kLineBreakUnits);
        const bool fits = (taken_ == 0 || cost <= size_) && cost <= allowed_;
        if (!fits && !(first_ && taken_ == 0)) {
            return TakeStep::kStop;
        }
        cost_ = cost;
        ++taken_;
        return TakeStep::kTake;
    }

  private:
    std::size_t size_;
    std::size_t allowed_;
    bool first_;
    std::size_t cost_ = 0;
    std::size_t taken_ = 0;
};

// While a drain changes the view, the view is left out of drawing by the window
// manager's own redraw switch (DefWindowProc's WM_SETREDRAW; the edit control
// answers WM_SETREDRAW itself and, under Wine, keeps drawing its scroll bar):
// the trim, the append and the scroll then only change the control's state,
// and one invalidation afterwards (InvalidateAfterDrain) has the text and the
// scroll bar painted once. Drawn as the control goes, the scroll bar is drawn
// twice per append, which costs more than laying out a few hundred lines, and
// a trim redraws the whole view.
// Only the view is switched, never the top-level window: input keeps going to
// the console's thread, and which child it is for is decided when it is read,
// after the drain. A hidden view is not switched: nothing of it is drawn.
class DrawingHeld {
  public:
    explicit DrawingHeld(HWND view)
        : view_(view), held_((GetWindowLongPtrW(view, GWL_STYLE) & WS_VISIBLE) != 0) {
        if (held_) {
            DefWindowProcW(view_, WM_SETREDRAW, FALSE, 0);
        }
    }
    ~DrawingHeld() {
        if (held_) {
            DefWindowProcW(view_, WM_SETREDRAW, TRUE, 0);
        }
    }
    DrawingHeld(const DrawingHeld&) = delete;
    DrawingHeld& operator=(const DrawingHeld&) = delete;

    bool Held() const { return held_; }

  private:
    HWND view_;
    bool held_;
};

}  // namespace

// One piece of a drain: the text to append, a notice first where Lines were
// dropped, and its layout cost.
struct LogView::Piece {
    std::wstring text;
    std::size_t cost = 0;
    bool more = false;  // Lines are still waiting after it
};

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

std::chrono::milliseconds LogView::ScrollBarRefreshDelay() const {
    return std::chrono::ceil<std::chrono::milliseconds>(scrollBarRepaint_.Left(now_()));
}

void LogView::RefreshScrollBar() {
    if (!ScrollBarStale() || control_ == nullptr) {
        return;
    }
    // Only the bar: its rectangle in the view's client coordinates lies outside
    // the client area, so the text is not repainted with it.
    SCROLLBARINFO bar{};
    bar.cbSize = sizeof(bar);
    if (GetScrollBarInfo(control_, OBJID_VSCROLL, &bar)) {
        RECT area = bar.rcScrollBar;
        MapWindowPoints(nullptr, control_, reinterpret_cast<POINT*>(&area), 2);
        RedrawWindow(control_, &area, nullptr, RDW_INVALIDATE | RDW_FRAME | RDW_NOERASE);
    } else {
        RedrawWindow(control_, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME);
    }
    scrollBarRepaint_.Happened(now_());
    staleSince_.reset();
}

// Switching drawing back on has the whole frame repainted too: the scroll bar
// is left out of that and marked stale, unless it has been stale for
// kScrollBarInterval already (only while drains follow each other, as under a
// flood: otherwise the window's timer has it repainted first).
void LogView::InvalidateAfterDrain(bool paintNow) {
    const UINT update = paintNow ? RDW_UPDATENOW : 0;
    const auto now = now_();
    if (staleSince_ && now - *staleSince_ >= kScrollBarInterval) {
        RedrawWindow(control_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | update);
        scrollBarRepaint_.Happened(now);
        staleSince_.reset();
    } else {
        RedrawWindow(control_, nullptr, nullptr, RDW_VALIDATE | RDW_NOFRAME | RDW_NOCHILDREN);
        RedrawWindow(control_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | update);
        if (!staleSince_) {
            staleSince_ = now;
        }
    }
    if (paintNow) {
        pacer_.RepaintTook(now_() - now);
    }
}

LogView::Piece LogView::TakePiece(std::size_t allowed, bool first) {
    TakenLines taken = PendingLines().Take(PieceChooser(kDrainPieceUnits, allowed, first));
    Piece piece;
    piece.more = taken.more;
    unannounced_ += taken.dropped;
    if (taken.lines.empty()) {
        return piece;
    }
    piece.text.reserve(taken.units + kLineBreakUnits * taken.lines.size() +
                       (unannounced_ > 0 ? 64 : 0));
    if (unannounced_ > 0) {
        // Made here, on the window's thread, as the Lines are taken: nothing can drop it.
        piece.text += kDroppedNoticeStart;
        piece.text += std::to_wstring(unannounced_);
        piece.text += kDroppedNoticeEnd;
        piece.text += kLineBreak;
        unannounced_ = 0;
    }
    for (std::size_t i = 0; i < taken.lines.size(); ++i) {
        const std::size_t before = piece.text.size();
        AppendConvertedLine(piece.text, taken.lines[i], taken.lineUnits[i]);
        piece.text += kLineBreak;
        piece.cost += LayoutCost(piece.text.size() - before);
    }
    RecycleLines(std::move(taken.lines));
    return piece;
}

bool LogView::Drain() {
    if (control_ == nullptr) {
        return false;  // the Lines stay queued
    }
    const auto start = now_();
    // What the drain's budget and, by the estimate, its time leave for the next piece.
    const auto allowed = [&](std::size_t spent) {
        const bool trimDue = GetWindowTextLengthW(control_) > kTrimThreshold;
        return std::min(kDrainBudgetUnits - spent, pacer_.Affordable(now_() - start, trimDue));
    };
    // The first piece takes a Line whatever the estimate says: every drain shows something.
    Piece piece = TakePiece(allowed(0), true);
    if (piece.text.empty()) {
        return false;
    }
    // A few lines (up to kPaintAtOnceUnits) are painted at once, so that a
    // line shows the moment it arrives; after a trim or with more to come the
    // view is painted with the next frame instead, since drains that big
    // follow each other under a flood.
    const bool paintNow = !piece.more && piece.text.size() <= kPaintAtOnceUnits &&
                          GetWindowTextLengthW(control_) <= kTrimThreshold;
    bool held = false;
    {
        const DrawingHeld drawing(control_);
        held = drawing.Held();
        std::size_t spent = 0;
        for (;;) {
            const auto trimStart = now_();
            if (TrimIfOverThreshold(control_)) {
                pacer_.TrimTook(now_() - trimStart);
            }
            // One replace for the whole piece: the control lays out once, not once per Line.
            const auto appendStart = now_();
            AppendLines(control_, piece.text);
            pacer_.PieceTook(piece.cost, now_() - appendStart);
            spent += piece.cost;
            if (!piece.more || spent >= kDrainBudgetUnits) {
                break;
            }
            // Only what the estimate says can end within the target, with the repaint after it.
            piece = TakePiece(allowed(spent), false);
            if (piece.text.empty()) {
                break;  // the next Line costs more than is left
            }
        }
        SendMessageW(control_, WM_VSCROLL, SB_BOTTOM, 0);
    }
    if (held) {
        InvalidateAfterDrain(paintNow);
    }
    return !PendingLines().Empty();
}

}  // namespace nemora
