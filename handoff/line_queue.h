#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

#include "handoff/line.h"

namespace nemora {

// Lines waiting for the view, oldest first. Bounded: once kMaxPendingLines are
// waiting, each new Line pushes out the oldest one.
inline constexpr std::size_t kMaxPendingLines = 8192;

class LineQueue {
  public:
    explicit LineQueue(std::size_t limit = kMaxPendingLines) : limit_(limit) {}

    // Appends the Line; returns true if the oldest pending Line was dropped to make room.
    bool Push(Line&& line);
    // Hands over every pending Line, oldest first, and leaves the queue empty.
    std::vector<Line> TakeAll();
    bool Empty() const;
    // Lines dropped by the limit since the queue was made.
    std::size_t Dropped() const;

  private:
    mutable std::mutex mutex_;
    std::deque<Line> lines_;
    // Mirrors lines_.size(), written under the mutex: an empty take needs no
    // lock, so a consumer that finds nothing never holds up the pushers.
    std::atomic<std::size_t> size_{0};
    std::size_t dropped_ = 0;
    const std::size_t limit_;
};

}  // namespace nemora
