// What drains show of a backlog, against a real edit control: the budget
// bounds each drain's work and the rest waits for the next, every Line the
// view can hold is shown in order, and every Line given up is said by a
// notice in its place, with numbers that add up.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "handoff/handoff.h"
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

// What the view shows, read back against the Lines pushed: each view line is
// either the next pushed Line or a notice standing for the Lines missing there.
struct Reading {
    std::size_t shown = 0;
    std::size_t announced = 0;
    std::vector<std::size_t> notices;  // each notice's count, in order
};

Reading ReadBack(const std::vector<Line>& pushed) {
    Reading reading;
    std::size_t next = 0;
    const std::wstring start = kDroppedNoticeStart;
    const std::wstring end = kDroppedNoticeEnd;
    for (const std::wstring& line : ViewLines()) {
        if (line.starts_with(start) && line.ends_with(end)) {
            const std::size_t count =
                std::stoul(line.substr(start.size(), line.size() - start.size() - end.size()));
            EXPECT_GT(count, 0u);
            reading.notices.push_back(count);
            reading.announced += count;
            next += count;
            continue;
        }
        EXPECT_LT(next, pushed.size());
        if (next >= pushed.size()) {
            break;
        }
        EXPECT_EQ(line, std::wstring(pushed[next].begin(), pushed[next].end()))
            << "view line for pushed Line " << next;
        ++next;
        ++reading.shown;
    }
    EXPECT_EQ(next, pushed.size()) << "the last Line pushed is shown";
    return reading;
}

class DrainBudget : public ::testing::Test {
  protected:
    void SetUp() override {
        parent_ = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, 0, 0, 960, 640, nullptr,
                                  nullptr, nullptr, nullptr);
        ASSERT_NE(parent_, nullptr);
        logViewWindow = CreateLogView(parent_, nullptr);
        ASSERT_NE(logViewWindow, nullptr);
        TakeAllLines();
    }
    void TearDown() override {
        logViewWindow = nullptr;
        DestroyWindow(parent_);
    }

    void Push(std::vector<Line>& pushed, int count, std::size_t bytes,
              const std::string& fill = "x") {
        for (int i = 0; i < count; ++i) {
            pushed.push_back(Numbered(static_cast<int>(pushed.size()), bytes, fill));
            PushLine(pushed.back());
        }
    }
    // Drains until nothing waits; how many drains that took.
    static int DrainAll() {
        int drains = 1;
        while (DrainToLogView()) {
            ++drains;
        }
        return drains;
    }

    HWND parent_ = nullptr;
};

// Nearly the trim threshold at once: more than one drain's budget, less than
// the view holds. The first drain leaves the rest queued, and every Line shows.
TEST_F(DrainBudget, ABacklogTheViewCanHoldIsShownWholeOverSeveralDrains) {
    std::vector<Line> pushed;
    Push(pushed, 3900, 65);
    ASSERT_TRUE(DrainToLogView()) << "one drain laid out more than its budget";
    EXPECT_FALSE(PendingLines().Empty());
    EXPECT_GE(DrainAll(), 1);
    const Reading reading = ReadBack(pushed);
    EXPECT_EQ(reading.shown, pushed.size());
    EXPECT_TRUE(reading.notices.empty());
}

// Text that takes fewer units than bytes (two-byte characters) counts by its
// units: 8,000 such Lines need more bytes than the threshold but fit the view.
TEST_F(DrainBudget, WhatTheViewCanHoldIsCountedInUnitsNotBytes) {
    std::vector<Line> pushed;
    Push(pushed, 8000, 51, "\xC3\xA9");  // é: 30 units a Line at most
    DrainAll();
    std::size_t shown = 0;
    for (const std::wstring& line : ViewLines()) {
        shown += line.starts_with(kDroppedNoticeStart) ? 0 : 1;
    }
    EXPECT_EQ(shown, pushed.size());
}

// Lines the queue's limit pushed out, between two drains of one backlog: the
// notice sits exactly where they are missing, after the Lines the first
// drain showed.
TEST_F(DrainBudget, LinesThatOverflowTheQueueAreAnnouncedWhereTheyAreMissing) {
    std::vector<Line> pushed;
    Push(pushed, 3000, 60);
    ASSERT_TRUE(DrainToLogView());
    const std::size_t shownBefore = ViewLines().size();
    Push(pushed, static_cast<int>(kMaxPendingLines), 10);
    DrainAll();
    const Reading reading = ReadBack(pushed);
    ASSERT_EQ(reading.notices.size(), 1u);
    EXPECT_EQ(reading.notices[0], 3000 - shownBefore);
    EXPECT_EQ(ViewLines()[shownBefore].substr(0, 10), kDroppedNoticeStart);
    EXPECT_EQ(reading.shown + reading.announced, pushed.size());
}

// More waiting than the view can hold: the oldest Lines beyond the threshold
// are given up with one notice; what is left is shown whole and in order.
TEST_F(DrainBudget, ABacklogPastTheThresholdGivesUpTheOldestAndSaysHowMany) {
    std::vector<Line> pushed;
    Push(pushed, static_cast<int>(kMaxPendingLines), 63);
    DrainAll();
    const Reading reading = ReadBack(pushed);
    ASSERT_EQ(reading.notices.size(), 1u);
    EXPECT_EQ(reading.shown, static_cast<std::size_t>(kTrimThreshold) / (63 + 2));
    EXPECT_EQ(reading.shown + reading.announced, pushed.size());
}

}  // namespace
}  // namespace nemora
