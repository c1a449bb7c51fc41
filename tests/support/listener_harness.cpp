#include "tests/support/listener_harness.h"

#include <windows.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>

#include "handoff/handoff.h"
#include "handoff/handoff_test_seam.h"
#include "intake/pipe_listener.h"

namespace nemora::test {

namespace {

constexpr DWORD kPollMs = 2;

// Taken from the queue but not yet handed to a test.
std::deque<Line>& Unclaimed() {
    static std::deque<Line> lines;
    return lines;
}

void TakePending() {
    for (Line& line : TakeAllLines()) {
        Unclaimed().push_back(std::move(line));
    }
}

std::atomic<bool> listenerStarted{false};

}  // namespace

bool ListenerStarted() {
    return listenerStarted.load();
}

void EnsureListener() {
    static std::once_flag started;
    std::call_once(started, [] {
        listenerStarted.store(true);
        // The listener's thread handle is kept for the life of the process, as the console does.
        CreateThread(nullptr, 0, RunPipeListener, nullptr, 0, nullptr);
    });
}

std::vector<Line> LinesThrough(const Line& last, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<Line> taken;
    for (;;) {
        TakePending();
        while (!Unclaimed().empty()) {
            taken.push_back(std::move(Unclaimed().front()));
            Unclaimed().pop_front();
            if (taken.back() == last) {
                return taken;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return taken;
        }
        Sleep(kPollMs);
    }
}

std::vector<Line> LinesWithin(std::chrono::milliseconds time) {
    const auto deadline = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < deadline) {
        Sleep(kPollMs);
    }
    return TakeArrived();
}

std::vector<Line> TakeArrived() {
    TakePending();
    std::vector<Line> taken(std::make_move_iterator(Unclaimed().begin()),
                            std::make_move_iterator(Unclaimed().end()));
    Unclaimed().clear();
    return taken;
}

}  // namespace nemora::test
