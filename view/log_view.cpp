#include "view/log_view.h"

#include <vector>

#include "handoff/handoff.h"
#include "view/line_conversion.h"

namespace nemora {

HWND logViewWindow = nullptr;

namespace {

std::size_t drainDropped = 0;

constexpr wchar_t kLineBreak[] = L"\r\n";
constexpr std::size_t kLineBreakUnits = 2;

// The cut falls exactly at half the length, wherever that is (inside a line,
// between CR and LF, or inside a surrogate pair): the next lines are unaffected.
void TrimIfOverThreshold() {
    const int length = GetWindowTextLengthW(logViewWindow);
    if (length > kTrimThreshold) {
        SendMessageW(logViewWindow, EM_SETSEL, 0, length / 2);
        SendMessageW(logViewWindow, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
    }
}

// Index of the oldest Line of the newest run that fits the budget. A Line's
// bytes bound its UTF-16 units from above, so the run is measured without
// converting anything twice.
std::size_t FirstLineWithinBudget(const std::vector<Line>& lines) {
    std::size_t units = 0;
    std::size_t first = lines.size();
    while (first > 0) {
        const std::size_t next = units + lines[first - 1].size() + kLineBreakUnits;
        if (next > kDrainBudgetUnits && first < lines.size()) {
            break;
        }
        units = next;
        --first;
    }
    return first;
}

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
    const std::vector<Line> lines = TakeAllLines();
    if (lines.empty()) {
        return;
    }
    TrimIfOverThreshold();

    const std::size_t first = FirstLineWithinBudget(lines);
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
    // One replace for the whole batch: the control lays out and paints once, not once per Line.
    AppendLines(batch);
    SendMessageW(logViewWindow, WM_VSCROLL, SB_BOTTOM, 0);
}

std::size_t DrainDroppedLines() {
    return drainDropped;
}

}  // namespace nemora
