// What drains show of a backlog, against a real edit control: every Line the
// view can hold is shown in order, and every Line given up is said by a
// notice in its place, with numbers that add up. (A backlog over one drain's
// budget, shown whole, is tested end to end.)

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "driver/console_process.h"
#include "handoff/handoff.h"
#include "handoff/handoff_test_seam.h"
#include "tests/support/dropped_notices.h"
#include "text/line_conversion.h"
#include "view/log_view.h"

namespace nemora {
namespace {

// "<number> " then `fill` up to `bytes`.
Line Numbered(int number, std::size_t bytes, const std::string& fill = "x") {
    Line line = std::to_string(number) + " ";
    while (line.size() < bytes) {
        line += fill;
    }
    return line;
}

class DrainBudget : public ::testing::Test {
  protected:
    void SetUp() override {
        parent_ = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, 0, 0, 960, 640, nullptr,
                                  nullptr, nullptr, nullptr);
        ASSERT_NE(parent_, nullptr);
        view_ = LogView(CreateLogView(parent_, nullptr));
        ASSERT_NE(view_.Control(), nullptr);
        TakeAllLines();
    }
    void TearDown() override { DestroyWindow(parent_); }

    std::vector<std::wstring> ViewLines() const {
        return test::SplitLines(test::WindowText(view_.Control()).value_or(L""));
    }
    test::ReadBack ReadBack(const std::vector<Line>& pushed) const {
        std::vector<std::wstring> offered;
        for (const Line& line : pushed) {
            AppendConvertedLine(offered.emplace_back(), line);
        }
        return test::ReadBackWithNotices(ViewLines(), offered);
    }

    void Push(std::vector<Line>& pushed, int count, std::size_t bytes,
              const std::string& fill = "x") {
        for (int i = 0; i < count; ++i) {
            pushed.push_back(Numbered(static_cast<int>(pushed.size()), bytes, fill));
            PushLine(pushed.back());
        }
    }
    // Drains until nothing waits.
    void DrainAll() {
        while (view_.Drain()) {
        }
    }

    HWND parent_ = nullptr;
    LogView view_;
};

// Text that takes fewer units than bytes (two-byte characters) counts by its
// units: 8,000 such Lines need more bytes than the threshold but fit the view.
TEST_F(DrainBudget, WhatTheViewCanHoldIsCountedInUnitsNotBytes) {
    std::vector<Line> pushed;
    Push(pushed, 8000, 51, "\xC3\xA9");  // é: 30 units a Line at most
    DrainAll();
    EXPECT_TRUE(ReadBack(pushed).notices.empty());
}

// Lines the queue's limit pushed out, between two drains of one backlog: the
// notice sits exactly where they are missing, after the Lines the first
// drain showed.
TEST_F(DrainBudget, LinesThatOverflowTheQueueAreAnnouncedWhereTheyAreMissing) {
    std::vector<Line> pushed;
    Push(pushed, 3000, 60);
    ASSERT_TRUE(view_.Drain());
    const std::size_t shownBefore = ViewLines().size();
    Push(pushed, static_cast<int>(kMaxPendingLines), 10);
    DrainAll();
    const auto reading = ReadBack(pushed);
    ASSERT_EQ(reading.notices.size(), 1u);
    EXPECT_EQ(reading.notices[0], 3000 - shownBefore);
}

// More waiting than the view can hold: the oldest Lines beyond the threshold
// are given up with one notice; what is left is shown whole and in order.
TEST_F(DrainBudget, ABacklogPastTheThresholdGivesUpTheOldestAndSaysHowMany) {
    std::vector<Line> pushed;
    Push(pushed, static_cast<int>(kMaxPendingLines), 63);
    DrainAll();
    const auto reading = ReadBack(pushed);
    ASSERT_EQ(reading.notices.size(), 1u);
    EXPECT_EQ(reading.shown, static_cast<std::size_t>(kTrimThreshold) / (63 + 2));
}

}  // namespace
}  // namespace nemora
