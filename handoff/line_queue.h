#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "handoff/line.h"

namespace nemora {

// Lines waiting for the view, oldest first. Bounded: once kMaxPendingLines are
// waiting, each new Line pushes out the oldest one.
inline constexpr std::size_t kMaxPendingLines = 8192;

// Storage of Lines handed back after showing is kept for later pushes up to
// this capacity: a steady stream of ordinary lines then costs the queue no
// allocation per Line, and a burst of long Lines does not stay allocated.
inline constexpr std::size_t kRecycledLineCapacity = 256;

// What a take chooses, looking at the waiting Lines under the queue's lock:
// how many of the oldest to give up, and how many after those to hand over.
struct TakeChoice {
    std::size_t giveUp = 0;
    std::size_t take = 0;
};

// What a take hands over.
struct TakenLines {
    std::vector<Line> lines;  // oldest first
    // Lines that will never be shown, all of them just before lines.front():
    // those the limit pushed out since the last take, and those this take gave up.
    std::size_t dropped = 0;
    bool more = false;  // Lines are still waiting after this take
};

class LineQueue {
  public:
    explicit LineQueue(std::size_t limit = kMaxPendingLines) : limit_(limit) {}

    // Appends a copy of the Line; returns true if the oldest pending Line was
    // dropped to make room.
    bool Push(std::string_view line);
    // Hands over every pending Line, oldest first, and leaves the queue empty.
    std::vector<Line> TakeAll();
    // Hands over the oldest Lines as `choose` decides, given the waiting Lines
    // (oldest first) and their bytes in all: `choose(lines, bytes)` returns a
    // TakeChoice. What it leaves stays queued, in order.
    template <typename Choose>
    TakenLines Take(Choose&& choose);
    // Takes back Lines handed over earlier, to reuse their storage.
    void Recycle(std::vector<Line>&& lines);
    bool Empty() const;
    // Lines dropped by the limit since the queue was made.
    std::size_t Dropped() const;

  private:
    void PopFront();

    mutable std::mutex mutex_;
    std::deque<Line> lines_;
    std::vector<Line> spare_;  // emptied storage for the next pushes, at most limit_
    // Mirrors lines_.size(), written under the mutex: an empty take needs no
    // lock, so a consumer that finds nothing never holds up the pushers.
    std::atomic<std::size_t> size_{0};
    std::size_t bytes_ = 0;  // of every waiting Line
    std::size_t dropped_ = 0;
    // Dropped by the limit since the last take: the oldest Lines go first and
    // takes take from the front, so these are exactly the Lines between the
    // last one taken and the first one waiting.
    std::size_t droppedSinceTake_ = 0;
    const std::size_t limit_;
};

template <typename Choose>
TakenLines LineQueue::Take(Choose&& choose) {
    TakenLines taken;
    if (size_.load() == 0) {
        return taken;  // see TakeAll
    }
    std::lock_guard lock(mutex_);
    const TakeChoice choice = std::forward<Choose>(choose)(std::as_const(lines_), bytes_);
    const std::size_t giveUp = std::min(choice.giveUp, lines_.size());
    const std::size_t take = std::min(choice.take, lines_.size() - giveUp);
    for (std::size_t i = 0; i < giveUp; ++i) {
        PopFront();
    }
    taken.lines.reserve(take);
    for (std::size_t i = 0; i < take; ++i) {
        bytes_ -= lines_.front().size();
        taken.lines.push_back(std::move(lines_.front()));
        lines_.pop_front();
    }
    taken.dropped = droppedSinceTake_ + giveUp;
    droppedSinceTake_ = 0;
    taken.more = !lines_.empty();
    size_.store(lines_.size());
    return taken;
}

}  // namespace nemora
