#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <iterator>
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

// What a take is shown before each Line it decides on: totals kept as Lines
// come and go, and the oldest Line's own count, so deciding needs no walk
// over the Lines that stay queued.
struct WaitingLines {
    std::size_t lines = 0;       // waiting, the oldest included
    std::size_t units = 0;       // the view's UTF-16 units of all of them
    std::size_t frontUnits = 0;  // of the oldest
};

// What a take does with the oldest waiting Line.
enum class TakeStep {
    kGiveUp,  // it will never be shown (only before the take has taken any)
    kTake,    // hand it over
    kStop,    // leave it and everything after it queued
};

// What a take hands over.
struct TakenLines {
    std::vector<Line> lines;             // oldest first
    std::vector<std::size_t> lineUnits;  // the view's UTF-16 units of each of lines
    std::size_t units = 0;               // of lines, in all
    // Lines that will never be shown, all of them just before lines.front():
    // those the limit pushed out since the last take, and those this take gave up.
    std::size_t dropped = 0;
    bool more = false;  // Lines are still waiting after this take
};

// What bounds the lock's longest hold: a push copies one Line (at most the
// framer's cap plus its cut marker, 4 KiB and a few bytes) and updates the
// totals; a take spends a few moves and sums per Line it takes or gives up,
// never walks what stays queued (totals kept as Lines come and go stand in),
// and takes at most one piece of a drain; a recycle moves at most one piece's
// Lines. So the longest hold is that of a take giving up a full queue: a
// count over its 8,192 Lines and a move of the few hundred the view keeps,
// well under a millisecond. Given-up Lines are destroyed after the unlock.
class LineQueue {
  public:
    explicit LineQueue(std::size_t limit = kMaxPendingLines) : limit_(limit) {}

    // Appends a copy of the Line, with the UTF-16 units the view will hold of
    // it (counted by the caller, outside the lock); returns true if the oldest
    // pending Line was dropped to make room.
    bool Push(std::string_view line, std::size_t units);
    // Hands over the oldest Lines as `choose` decides: asked with the
    // WaitingLines before each, oldest first, it returns a TakeStep, until it
    // says kStop or nothing waits (a kGiveUp after a kTake stops too). What it
    // leaves stays queued, in order. The lock is held for a few moves and sums
    // per Line taken, and per Line given up or kept, whichever are fewer.
    template <typename Choose>
    TakenLines Take(Choose&& choose);
    // Takes back Lines handed over earlier, to reuse their storage.
    void Recycle(std::vector<Line>&& lines);
    bool Empty() const;

  private:
    struct Queued {
        Line text;
        std::size_t units = 0;
    };

    // Removes the oldest Line, keeping its storage for later pushes if it is
    // small, or else moving it to `freed`, to be destroyed after the unlock.
    void GiveUpFront(std::vector<Line>& freed);

    mutable std::mutex mutex_;
    std::deque<Queued> lines_;
    std::vector<Line> spare_;  // emptied storage for the next pushes, at most limit_
    // Mirrors lines_.size(), written under the mutex: an empty take needs no
    // lock, so a consumer that finds nothing never holds up the pushers.
    std::atomic<std::size_t> size_{0};
    std::size_t units_ = 0;  // of every waiting Line
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
        // Sequentially consistent with the pusher's store and its later wake-up
        // request: a take that sees 0 here is followed by a fresh drain request.
        return taken;
    }
    // Given-up Lines end up in one of these, destroyed on return, after the unlock.
    std::vector<Line> freed;
    std::deque<Queued> left;
    std::lock_guard lock(mutex_);
    // The Lines to give up are counted first, and removed together.
    std::size_t givenUp = 0;
    std::size_t units = units_;
    TakeStep step = TakeStep::kStop;
    while (givenUp < lines_.size()) {
        step = choose(WaitingLines{lines_.size() - givenUp, units, lines_[givenUp].units});
        if (step != TakeStep::kGiveUp) {
            break;
        }
        units -= lines_[givenUp].units;
        ++givenUp;
    }
    if (givenUp > lines_.size() / 2) {
        // Fewer stay than go (a stalled window's backlog): those that stay move
        // to a fresh queue, and the old one goes whole.
        std::deque<Queued> kept(std::make_move_iterator(lines_.begin() + givenUp),
                                std::make_move_iterator(lines_.end()));
        left.swap(lines_);
        lines_.swap(kept);
        units_ = units;
    } else {
        for (std::size_t i = 0; i < givenUp; ++i) {
            GiveUpFront(freed);
        }
    }
    while (!lines_.empty() && step == TakeStep::kTake) {
        Queued& front = lines_.front();
        units_ -= front.units;
        taken.units += front.units;
        taken.lineUnits.push_back(front.units);
        taken.lines.push_back(std::move(front.text));
        lines_.pop_front();
        if (!lines_.empty()) {
            step = choose(WaitingLines{lines_.size(), units_, lines_.front().units});
        }
    }
    taken.dropped = droppedSinceTake_ + givenUp;
    droppedSinceTake_ = 0;
    taken.more = !lines_.empty();
    size_.store(lines_.size());
    return taken;
}

}  // namespace nemora
