#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string_view>
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

class LineQueue {
  public:
    explicit LineQueue(std::size_t limit = kMaxPendingLines) : limit_(limit) {}

    // Appends a copy of the Line; returns true if the oldest pending Line was
    // dropped to make room.
    bool Push(std::string_view line);
    // Hands over every pending Line, oldest first, and leaves the queue empty.
    std::vector<Line> TakeAll();
    // Takes back Lines handed over earlier, to reuse their storage.
    void Recycle(std::vector<Line>&& lines);
    bool Empty() const;
    // Lines dropped by the limit since the queue was made.
    std::size_t Dropped() const;

  private:
    mutable std::mutex mutex_;
    std::deque<Line> lines_;
    std::vector<Line> spare_;  // emptied storage for the next pushes, at most limit_
    // Mirrors lines_.size(), written under the mutex: an empty take needs no
    // lock, so a consumer that finds nothing never holds up the pushers.
    std::atomic<std::size_t> size_{0};
    std::size_t dropped_ = 0;
    const std::size_t limit_;
};

}  // namespace nemora
