// The hand-off from the listener to the window's thread, against real
// message-only windows: what is queued, and exactly which wake-ups are posted.

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "handoff/handoff.h"
#include "handoff/handoff_test_seam.h"

namespace nemora {
namespace {

// A message-only window on the calling thread; the hand-off's target while it lives.
class MessageWindow {
  public:
    MessageWindow() {
        hwnd_ = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                nullptr);
    }
    ~MessageWindow() {
        if (hwnd_ != nullptr) {
            DestroyWindow(hwnd_);
        }
    }
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    HWND get() const { return hwnd_; }
    void Destroy() {
        DestroyWindow(hwnd_);
        hwnd_ = nullptr;
    }
    // Removes and counts the posted messages of one kind.
    int Take(UINT message) const {
        int count = 0;
        MSG msg;
        while (PeekMessageW(&msg, hwnd_, message, message, PM_REMOVE)) {
            ++count;
        }
        return count;
    }

  private:
    HWND hwnd_ = nullptr;
};

// Each test starts from an empty queue, no window and no outstanding request.
class Handoff : public ::testing::Test {
  protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        mainWindow.store(nullptr);
        drainPending.store(0);
        fpsPending.store(0);
        latestFps.store(0.0);
        TakeAllLines();
    }
};

TEST_F(Handoff, OverflowDropsTheOldestLines) {
    for (int i = 1; i <= 8193; ++i) {
        PushLine(std::to_string(i));
    }
    const TakenLines taken = TakeEverything(PendingLines());
    ASSERT_EQ(taken.lines.size(), kMaxPendingLines);
    for (std::size_t i = 0; i < taken.lines.size(); ++i) {
        ASSERT_EQ(taken.lines[i], std::to_string(i + 2));
    }
    EXPECT_EQ(taken.dropped, 1u);
    EXPECT_TRUE(TakeAllLines().empty());
}

// Storage handed back after a drain is reused by later pushes: what comes
// out is exactly what went in, whatever the reused storage held before.
TEST_F(Handoff, RecycledStorageHoldsExactlyTheNewLines) {
    PushLine(std::string(200, 'a'));
    PushLine("short");
    PushLine(std::string(5000, 'b'));
    PushLine("");
    RecycleLines(TakeAllLines());
    for (int round = 0; round < 3; ++round) {
        std::vector<Line> expected;
        for (int i = 0; i < 6; ++i) {
            expected.push_back(std::string(static_cast<std::size_t>((i * 37 + round) % 90), 'x') +
                               std::to_string(round * 10 + i));
            PushLine(expected.back());
        }
        std::vector<Line> taken = TakeAllLines();
        EXPECT_EQ(taken, expected);
        RecycleLines(std::move(taken));
    }
    EXPECT_TRUE(TakeAllLines().empty());
}

TEST_F(Handoff, TakeAllOnAnEmptyQueueIsEmpty) {
    EXPECT_TRUE(TakeAllLines().empty());
}

TEST_F(Handoff, OneDrainRequestForABurstAndAnotherAfterTheFlagIsCleared) {
    MessageWindow window;
    mainWindow.store(window.get());
    PushLine("a");
    PushLine("b");
    PushLine("c");
    EXPECT_EQ(window.Take(WM_CONSOLE_DRAIN), 1);
    EXPECT_EQ(drainPending.load(), 1);

    // What the drain handler does: clear first, then take.
    drainPending.exchange(0);
    EXPECT_EQ(TakeAllLines(), (std::vector<Line>{"a", "b", "c"}));
    PushLine("d");
    EXPECT_EQ(window.Take(WM_CONSOLE_DRAIN), 1);
    EXPECT_EQ(TakeAllLines(), std::vector<Line>{"d"});
}

TEST_F(Handoff, LinePushedBetweenClearAndTakeIsTakenAndItsRequestFindsNothing) {
    MessageWindow window;
    mainWindow.store(window.get());
    PushLine("first");
    EXPECT_EQ(window.Take(WM_CONSOLE_DRAIN), 1);
    drainPending.exchange(0);
    PushLine("late");
    EXPECT_EQ(TakeAllLines(), (std::vector<Line>{"first", "late"}));
    EXPECT_EQ(window.Take(WM_CONSOLE_DRAIN), 1);
    drainPending.exchange(0);
    EXPECT_TRUE(TakeAllLines().empty());
}

// A Line pushed after a drain found the queue empty, while the flag is still
// set, posts nothing itself: the drain's end looks again and asks for it.
TEST_F(Handoff, ALinePushedAsADrainFindsNothingIsAskedForByTheDrainsEnd) {
    MessageWindow window;
    mainWindow.store(window.get());
    PushLine("first");
    EXPECT_EQ(window.Take(WM_CONSOLE_DRAIN), 1);
    EXPECT_EQ(TakeAllLines(), std::vector<Line>{"first"});
    PushLine("late");
    EXPECT_EQ(window.Take(WM_CONSOLE_DRAIN), 0);
    FinishDrain(false);
    EXPECT_EQ(window.Take(WM_CONSOLE_DRAIN), 1);
    EXPECT_EQ(drainPending.load(), 1) << "one request outstanding, as for any push";

    // Its drain finds nothing after it: the flag is left clear for the next push.
    EXPECT_EQ(TakeAllLines(), std::vector<Line>{"late"});
    FinishDrain(false);
    EXPECT_EQ(window.Take(WM_CONSOLE_DRAIN), 0);
    EXPECT_EQ(drainPending.load(), 0);
}

TEST_F(Handoff, WithoutAWindowLinesQueueAndNothingIsPosted) {
    MessageWindow window;
    PushLine("early");
    PublishFps(12.0);
    EXPECT_EQ(window.Take(WM_CONSOLE_DRAIN), 0);
    EXPECT_EQ(drainPending.load(), 0);
    EXPECT_EQ(latestFps.load(), 12.0);

    mainWindow.store(window.get());
    PushLine("next");
    EXPECT_EQ(window.Take(WM_CONSOLE_DRAIN), 1);
    EXPECT_EQ(TakeAllLines(), (std::vector<Line>{"early", "next"}));
}

// However fast readings come, the window's queue holds at most one reading
// request, and the update that clears the flag sees the latest reading.
TEST_F(Handoff, ReadingsPostOnceUntilTheUpdateClearsTheFlagAndTheLatestWins) {
    MessageWindow window;
    mainWindow.store(window.get());
    PublishFps(59.7);
    PublishFps(60.0);
    PublishFps(61.5);
    EXPECT_EQ(window.Take(WM_CONSOLE_FPS), 1);
    EXPECT_EQ(window.Take(WM_CONSOLE_DRAIN), 0);
    EXPECT_EQ(fpsPending.load(), 1);
    EXPECT_EQ(latestFps.load(), 61.5);

    // What the title update does: clear first, then load.
    fpsPending.exchange(0);
    PublishFps(62.0);
    EXPECT_EQ(window.Take(WM_CONSOLE_FPS), 1);
    EXPECT_EQ(latestFps.load(), 62.0);
}

TEST_F(Handoff, AFailedReadingPostLeavesTheFlagClear) {
    MessageWindow window;
    const HWND gone = window.get();
    window.Destroy();
    mainWindow.store(gone);
    PublishFps(30.0);
    EXPECT_EQ(fpsPending.load(), 0);

    MessageWindow alive;
    mainWindow.store(alive.get());
    PublishFps(31.0);
    EXPECT_EQ(alive.Take(WM_CONSOLE_FPS), 1);
}

// A request that could not be posted must not leave the flag set, or no push
// would ever ask again.
TEST_F(Handoff, AFailedPostLeavesTheFlagClear) {
    MessageWindow window;
    const HWND gone = window.get();
    window.Destroy();
    mainWindow.store(gone);
    PushLine("x");
    EXPECT_EQ(drainPending.load(), 0);

    MessageWindow alive;
    mainWindow.store(alive.get());
    PushLine("y");
    EXPECT_EQ(alive.Take(WM_CONSOLE_DRAIN), 1);
    EXPECT_EQ(TakeAllLines(), (std::vector<Line>{"x", "y"}));
}

// Several listeners' worth of pushers against a draining window thread: no
// Line is lost beyond what the limit drops, each pusher's Lines stay in order,
// and there is never more than one drain request in the window's queue.
TEST_F(Handoff, ConcurrentPushersAgainstADrainingThread) {
    constexpr int kPushers = 4;
    constexpr int kPerPusher = 50000;
    std::atomic<bool> windowReady{false};
    std::atomic<bool> stop{false};
    std::atomic<int> doubleRequests{0};
    std::atomic<std::size_t> received{0};
    std::atomic<std::size_t> dropped{0};
    std::map<int, int> lastSeen;  // pusher -> last sequence number, drainer thread only
    std::atomic<int> outOfOrder{0};

    std::thread drainer([&] {
        MessageWindow window;
        mainWindow.store(window.get());
        windowReady.store(true);
        MSG msg;
        while (!stop.load()) {
            if (!PeekMessageW(&msg, window.get(), WM_CONSOLE_DRAIN, WM_CONSOLE_DRAIN, PM_REMOVE)) {
                MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_POSTMESSAGE);
                continue;
            }
            MSG other;
            if (PeekMessageW(&other, window.get(), WM_CONSOLE_DRAIN, WM_CONSOLE_DRAIN,
                             PM_NOREMOVE)) {
                ++doubleRequests;
            }
            drainPending.exchange(0);
            const TakenLines taken = TakeEverything(PendingLines());
            dropped += taken.dropped;
            for (const Line& line : taken.lines) {
                const auto colon = line.find(':');
                const int pusher = std::stoi(line.substr(0, colon));
                const int seq = std::stoi(line.substr(colon + 1));
                auto [it, fresh] = lastSeen.emplace(pusher, seq);
                if (!fresh) {
                    if (seq <= it->second) {
                        ++outOfOrder;
                    }
                    it->second = seq;
                }
                ++received;
            }
        }
        mainWindow.store(nullptr);
    });
    while (!windowReady.load()) {
        std::this_thread::yield();
    }

    std::vector<std::thread> pushers;
    for (int p = 0; p < kPushers; ++p) {
        pushers.emplace_back([p] {
            for (int i = 0; i < kPerPusher; ++i) {
                PushLine(std::to_string(p) + ":" + std::to_string(i));
            }
        });
    }
    for (auto& t : pushers) {
        t.join();
    }
    const std::size_t total = std::size_t{kPushers} * kPerPusher;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (received.load() + dropped.load() < total &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stop.store(true);
    drainer.join();

    EXPECT_EQ(received.load() + dropped.load(), total);
    EXPECT_GT(received.load(), 0u);
    EXPECT_EQ(doubleRequests.load(), 0);
    EXPECT_EQ(outOfOrder.load(), 0);
}

}  // namespace
}  // namespace nemora
