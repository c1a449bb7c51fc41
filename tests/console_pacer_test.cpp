// The window's pacing rules as plain logic: a fake clock and recorded effects,
// so each rule is checked in microseconds of test time, stream or no stream.

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "app/console_pacer.h"

namespace nemora {
namespace {

using namespace std::chrono_literals;

class FakeWindow final : public PacerEffects {
  public:
    std::chrono::steady_clock::time_point now{};
    bool input = false;
    bool linesWaiting = false;
    bool view = true;
    bool readingWaiting = false;  // published, not yet shown
    bool scrollBarStale = false;
    std::chrono::milliseconds scrollBarDelay{0};
    bool timersAvailable = true;
    std::map<PacerTimer, std::chrono::milliseconds> timers;  // armed
    std::vector<std::string> done;                           // drain, title, paint, bar

    std::chrono::steady_clock::time_point Now() override { return now; }
    bool InputWaiting() override { return input; }
    bool SetTimer(PacerTimer timer, std::chrono::milliseconds delay) override {
        if (timersAvailable) {
            timers[timer] = delay;
        }
        return timersAvailable;
    }
    void KillTimer(PacerTimer timer) override { timers.erase(timer); }
    bool HasView() override { return view; }
    void Drain() override {
        done.push_back("drain");
        linesWaiting = false;
    }
    bool LinesWaiting() override { return linesWaiting; }
    void ShowLatestReading() override {
        done.push_back("title");
        readingWaiting = false;
    }
    bool ReadingWaiting() override { return readingWaiting; }
    // A message answered part-way through a drain destroys the window.
    bool closedBySentMessage = false;
    bool AnswerSentMessages() override {
        if (closedBySentMessage) {
            done.push_back("closed");
        }
        return !closedBySentMessage;
    }
    void Paint() override { done.push_back("paint"); }
    bool ScrollBarStale() override { return scrollBarStale; }
    std::chrono::milliseconds ScrollBarRefreshDelay() override { return scrollBarDelay; }
    void RefreshScrollBar() override {
        done.push_back("bar");
        scrollBarStale = false;
    }

    std::vector<std::string> Take() { return std::exchange(done, {}); }
};

using Done = std::vector<std::string>;

TEST(ConsolePacer, ADrainWaitsForInputOnlyAndIsDoneByTheNextMessageOnceInputIsHandled) {
    FakeWindow window;
    ConsolePacer pacer(window);
    pacer.OnDrainRequest();
    EXPECT_EQ(window.Take(), (Done{"drain", "paint"}));

    window.input = true;
    window.now += 1s;
    pacer.OnDrainRequest();
    pacer.CatchUp();
    EXPECT_EQ(window.Take(), Done{}) << "input first";
    EXPECT_TRUE(window.timers.count(PacerTimer::kDeferredDrain));

    window.input = false;
    pacer.OnFpsReading();  // a stream's next message, not the timer
    pacer.CatchUp();
    EXPECT_EQ(window.Take(), (Done{"title", "drain", "paint"}));
    EXPECT_FALSE(window.timers.count(PacerTimer::kDeferredDrain));

    // With no timer to come back on, it drains at once rather than never.
    window.input = true;
    window.timersAvailable = false;
    window.now += 1s;
    pacer.OnDrainRequest();
    EXPECT_EQ(window.Take(), (Done{"drain", "paint"}));
}

TEST(ConsolePacer, TheTitleChangesAtMostOnceAFrameAndTheLatestReadingIsShown) {
    FakeWindow window;
    ConsolePacer pacer(window);
    pacer.OnFpsReading();
    EXPECT_EQ(window.Take(), Done{"title"});

    window.now += 5ms;
    pacer.OnFpsReading();
    pacer.OnFpsReading();
    EXPECT_EQ(window.Take(), Done{}) << "within the frame";
    EXPECT_EQ(window.timers.at(PacerTimer::kDeferredTitle), kFrame - 5ms);

    // Posts keep coming: the next drain shows it once the frame is over.
    window.now += 10ms;
    pacer.OnDrainRequest();
    EXPECT_EQ(window.Take(), (Done{"drain", "paint"}));
    window.now += 1ms;
    pacer.OnDrainRequest();
    EXPECT_EQ(window.Take(), (Done{"drain", "title"}));
    EXPECT_FALSE(window.timers.count(PacerTimer::kDeferredTitle));

    // Idle instead: the timer shows it.
    window.now += 1ms;
    pacer.OnFpsReading();
    window.now += 15ms;
    pacer.OnTimer(PacerTimer::kDeferredTitle);
    EXPECT_EQ(window.Take(), Done{"title"});
}

TEST(ConsolePacer, DrainsInARowPaintAtMostEveryBusyInterval) {
    FakeWindow window;
    ConsolePacer pacer(window);
    int paints = 0;
    for (int i = 0; i < 100; ++i) {  // a drain every 5 ms for half a second
        pacer.OnDrainRequest();
        pacer.CatchUp();
        for (const std::string& what : window.Take()) {
            paints += what == "paint" ? 1 : 0;
        }
        window.now += 5ms;
    }
    EXPECT_EQ(paints, 500ms / kBusyPaintInterval);
}

TEST(ConsolePacer, LinesWhoseWakeUpWasLostAreDrainedByWhateverMessageRuns) {
    FakeWindow window;
    ConsolePacer pacer(window);
    pacer.OnDrainRequest();
    window.Take();
    window.linesWaiting = true;  // pushed, but its request never came
    window.now += kStrandedLinesAge - 1ms;
    pacer.OnFpsReading();
    pacer.CatchUp();
    EXPECT_EQ(window.Take(), Done{"title"});
    window.now += 1ms;
    pacer.OnFpsReading();  // within a frame of the last title: put off
    pacer.CatchUp();
    EXPECT_EQ(window.Take(), (Done{"drain", "paint"}));

    // Idle: the slow timer finds them, and the reading put off.
    window.linesWaiting = true;
    window.now += kStrandedLinesAge;
    pacer.OnTimer(PacerTimer::kStrandedLines);
    EXPECT_EQ(window.Take(), (Done{"title", "drain", "paint"}));
}

// Its post failed: no message comes for it, yet the title catches up.
TEST(ConsolePacer, AReadingWhosePostFailedIsShownByWhateverMessageRuns) {
    FakeWindow window;
    ConsolePacer pacer(window);
    pacer.OnFpsReading();
    EXPECT_EQ(window.Take(), Done{"title"});
    window.readingWaiting = true;
    window.now += kStrandedLinesAge - 1ms;
    pacer.OnDrainRequest();
    pacer.CatchUp();
    EXPECT_EQ(window.Take(), (Done{"drain", "paint"})) << "its message may still be on its way";
    window.now += 1ms;
    pacer.OnDrainRequest();
    pacer.CatchUp();
    EXPECT_EQ(window.Take(), (Done{"drain", "title"}));

    // Idle: the slow timer finds it.
    window.readingWaiting = true;
    window.now += kStrandedLinesAge;
    pacer.OnTimer(PacerTimer::kStrandedLines);
    EXPECT_EQ(window.Take(), Done{"title"});
}

// A window whose view couldn't be made: Lines wait, and stay waiting.
TEST(ConsolePacer, WithoutAViewNothingDrainsAndTheWindowStandsIdle) {
    FakeWindow window;
    ConsolePacer pacer(window);
    window.view = false;
    window.linesWaiting = true;
    pacer.OnDrainRequest();
    pacer.CatchUp();
    window.now += kStrandedLinesAge;
    pacer.OnTimer(PacerTimer::kStrandedLines);
    window.input = true;
    pacer.OnDrainRequest();
    window.input = false;
    pacer.OnTimer(PacerTimer::kDeferredDrain);
    EXPECT_EQ(window.Take(), Done{});
}

TEST(ConsolePacer, AStaleScrollBarIsRepaintedWhenTheViewAllowsByTimerOrByTheNextMessage) {
    FakeWindow window;
    ConsolePacer pacer(window);
    window.scrollBarStale = true;
    window.scrollBarDelay = 120ms;
    pacer.OnDrainRequest();
    EXPECT_EQ(window.timers.at(PacerTimer::kScrollBar), 120ms);
    window.Take();

    // Idle: its timer repaints it.
    pacer.OnTimer(PacerTimer::kScrollBar);
    EXPECT_EQ(window.Take(), Done{"bar"});
    EXPECT_FALSE(window.timers.count(PacerTimer::kScrollBar));

    // Under a stream: the next message repaints it once the view allows.
    window.scrollBarStale = true;
    window.now += 1s;
    pacer.OnDrainRequest();
    window.Take();
    window.scrollBarDelay = 0ms;
    pacer.CatchUp();
    EXPECT_EQ(window.Take(), Done{"bar"});
    EXPECT_FALSE(window.timers.count(PacerTimer::kScrollBar));

    // No timer to be had: repainted at once.
    window.scrollBarStale = true;
    window.scrollBarDelay = 120ms;
    window.timersAvailable = false;
    window.now += 1s;
    pacer.OnDrainRequest();
    EXPECT_EQ(window.Take(), (Done{"drain", "bar", "paint"}));
}

TEST(ConsolePacer, AWindowClosedByAMessageAnsweredInADrainIsTouchedNoMore) {
    FakeWindow window;
    ConsolePacer pacer(window);
    window.closedBySentMessage = true;
    window.scrollBarStale = true;
    pacer.OnDrainRequest();
    pacer.CatchUp();
    EXPECT_EQ(window.Take(), (Done{"drain", "closed"})) << "no paint, no scroll bar, no title";

    window.now += 1s;
    window.linesWaiting = true;
    pacer.OnFpsReading();
    pacer.OnTimer(PacerTimer::kStrandedLines);
    pacer.OnDrainRequest();
    pacer.CatchUp();
    EXPECT_EQ(window.Take(), Done{});
}

}  // namespace
}  // namespace nemora
