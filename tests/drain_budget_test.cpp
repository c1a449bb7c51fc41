// A drain that finds more Lines than the view can take in one go shows the
// newest ones whose layout cost fits its budget, against a real edit control.
// Each case runs in a process of its own, so each starts from the full budget.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "handoff/handoff.h"
#include "view/log_view.h"

namespace nemora {
namespace {

// "<number> " then filler up to `bytes`.
Line Numbered(int number, std::size_t bytes) {
    Line line = std::to_string(number) + " ";
    line.resize(bytes, 'x');
    return line;
}

std::vector<std::wstring> ViewLines() {
    const int length = GetWindowTextLengthW(logViewWindow);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    GetWindowTextW(logViewWindow, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(length));
    std::vector<std::wstring> lines;
    for (std::size_t start = 0, end; (end = text.find(L"\r\n", start)) != std::wstring::npos;
         start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

std::wstring Wide(const Line& line) {
    return std::wstring(line.begin(), line.end());
}

class DrainBudget : public ::testing::Test {
  protected:
    void SetUp() override {
        parent_ = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, 0, 0, 960, 640, nullptr,
                                  nullptr, nullptr, nullptr);
        ASSERT_NE(parent_, nullptr);
        logViewWindow = CreateLogView(parent_, nullptr);
        ASSERT_NE(logViewWindow, nullptr);
    }
    void TearDown() override {
        logViewWindow = nullptr;
        DestroyWindow(parent_);
    }

    // Queues `count` numbered Lines of `bytes` bytes and drains them at once.
    std::vector<Line> PushAndDrain(int count, std::size_t bytes) {
        std::vector<Line> pushed;
        for (int i = 0; i < count; ++i) {
            pushed.push_back(Numbered(i, bytes));
            PushLine(pushed.back());
        }
        DrainToLogView();
        return pushed;
    }

    HWND parent_ = nullptr;
};

// A full queue too: the client outruns even the queue, and still each drain
// shows all the lines its budget allows.
TEST_F(DrainBudget, ShortLinesShowTheNewestThatFitTheBudget) {
    const auto pushed = PushAndDrain(static_cast<int>(kMaxPendingLines), 63);
    const std::size_t fits = kDrainBudgetUnits / (63 + 2);
    const auto shown = ViewLines();
    ASSERT_EQ(shown.size(), fits);
    EXPECT_EQ(shown.front(), Wide(pushed[pushed.size() - fits]));
    EXPECT_EQ(shown.back(), Wide(pushed.back()));
    EXPECT_EQ(DrainDroppedLines(), pushed.size() - fits);
}

TEST_F(DrainBudget, LongLinesCountForMoreThanTheirLength) {
    // A 4 KiB line wraps over dozens of rows; laying it out costs far more than
    // its length, so far fewer of them fit than their units alone would allow.
    const auto pushed = PushAndDrain(64, 4095);
    const std::size_t fits = kDrainBudgetUnits / LayoutCost(4095 + 2);
    ASSERT_LT(fits, kDrainBudgetUnits / (4095 + 2));
    const auto shown = ViewLines();
    ASSERT_EQ(shown.size(), fits);
    EXPECT_EQ(shown.back(), Wide(pushed.back()));
    EXPECT_EQ(DrainDroppedLines(), pushed.size() - fits);
}

}  // namespace
}  // namespace nemora
