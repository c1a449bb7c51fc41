// A client that writes faster than the view can show must not take the
// console away from its user: under such a flood the real console keeps
// repainting, handles real mouse input and closes from its close button.
//
// Everything is watched from outside. Repaints: the window system keeps each
// window's update region, so new text seen with no paint pending, or a view
// seen awaiting paint and then not any more, has been repainted
// (ViewWatcher counts those). Input: a real button press
// over the view goes through the console's input queue, and the edit control
// takes the mouse capture when it handles it (and gives it up on the
// release), which GetGUIThreadInfo shows from any process.
//
// The bounds asserted are the console's promises (ten repaints a second,
// input handled within 100 ms) made generous, so that a loaded machine can't
// fail them; bench/bench_console measures the real figures.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "driver/console_process.h"
#include "driver/observers.h"
#include "driver/wait.h"
#include "driver/console_probe.h"

namespace nemora::test {
namespace {

using probe::Clock;

constexpr std::size_t kLineBytes = 64;  // line feed included
constexpr std::size_t kLinesPerWrite = 1024;

class FloodedConsole : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(console_.Start());
        ASSERT_TRUE(client_.Connect());
        // Numbered lines, as fast as the pipe takes them.
        flooder_ = std::thread([this] {
            for (std::uint64_t next = 0;
                 !stop_ && client_.Write(probe::NumberedLines(next, kLinesPerWrite, kLineBytes));
                 next += kLinesPerWrite) {
            }
        });
        watcher_.emplace(console_.view());
        // The flood is on once the view has shown more lines than the queue holds.
        ASSERT_TRUE(WaitUntil([&] { return watcher_->Newest().value_or(0) > 8192; }, 20s));
        floodSeen_ = watcher_->Newest().value_or(0);
        // From here on one message a poll, so that polls keep up with the drains.
        watcher_->TrackNewest(false);
        watcher_->ResetStats();
    }
    void TearDown() override {
        stop_ = true;
        if (flooder_.joinable()) {
            flooder_.join();
        }
        watcher_.reset();
    }

    ConsoleProcess console_;
    PipeClient client_;
    std::atomic<bool> stop_{false};
    std::thread flooder_;
    std::uint64_t floodSeen_ = 0;  // the newest line shown when the flood was seen on
    std::optional<probe::ViewWatcher> watcher_;
};

TEST_F(FloodedConsole, KeepsRepaintingAndShowingNewLines) {
    const auto start = Clock::now();
    Sleep(3000);  // the window over which repaints are counted
    const auto stats = watcher_->TakeStats();
    const double seconds = probe::Seconds(Clock::now() - start);
    const double repaintsPerSecond = static_cast<double>(stats.repaints) / seconds;
    std::printf("repaints: %.1f/s; longest gap %.1f ms; %llu drains; slowest round trip %.1f ms\n",
                repaintsPerSecond, probe::Millis(stats.longestUnpainted),
                static_cast<unsigned long long>(stats.changes),
                probe::Millis(stats.slowestRoundTrip));
    EXPECT_GE(repaintsPerSecond, 2.0);
    EXPECT_EQ(stats.timeouts, 0u);
    // New lines keep coming into the view (older ones may be dropped on the way).
    watcher_->TrackNewest(true);
    EXPECT_TRUE(WaitUntil([&] { return watcher_->Newest().value_or(0) > floodSeen_ + 8192; }));
}

// Under the flood the scroll bar is repainted less often than the text; the
// last drain's bar must still be painted once the flood stops.
TEST_F(FloodedConsole, OnceTheFloodStopsTheScrollBarIsRepaintedAfterTheLastLines) {
    ViewProbe probe;
    ASSERT_TRUE(probe.Attach(console_));
    ASSERT_TRUE(WaitUntil([&] { return probe.counters().batches.load() >= 10; }));
    stop_ = true;
    flooder_.join();
    ASSERT_TRUE(watcher_->WaitUntilSettled(300ms, 10s));
    EXPECT_TRUE(WaitUntil([&] { return probe.counters().framePaints.load() > 0; }, 2s));
}

TEST_F(FloodedConsole, HandlesRealMouseInput) {
    for (int click = 0; click < 5; ++click) {
        const auto pressed = probe::TimeMouseHalfClick(console_.view(), true, 1s);
        const auto released = probe::TimeMouseHalfClick(console_.view(), false, 1s);
        ASSERT_TRUE(pressed.has_value()) << "press " << click << " not handled within 1 s";
        ASSERT_TRUE(released.has_value()) << "release " << click << " not handled within 1 s";
        std::printf("click %d: press %.1f ms, release %.1f ms\n", click, probe::Millis(*pressed),
                    probe::Millis(*released));
    }
}

TEST_F(FloodedConsole, ClosesFromItsCloseButton) {
    const auto button = probe::FindCloseButton(console_.window());
    ASSERT_TRUE(button.has_value());
    probe::PressLeftButton(*button);
    probe::ReleaseLeftButton(*button);
    EXPECT_EQ(console_.WaitForExit(10s), 0u);
}

}  // namespace
}  // namespace nemora::test
