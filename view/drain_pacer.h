#pragma once

#include <array>
#include <chrono>
#include <cstddef>

namespace nemora {

// Judges, from what the work before cost, how much layout a drain can still
// start and finish within its time target, the repaint that follows included.
//
// The estimate: each piece a drain appends is timed, and its time per unit of
// layout cost kept, for the last kRecentPieces pieces (of this drain and the
// ones before; pieces too small to say anything are left out); repaints and
// trims are timed the same way. A next piece of cost C is expected to take C
// times the highest of those rates, and the repaint and a due trim as long as
// the slowest recent ones: a piece overruns only if it is slower per unit than
// every recent one. An old slow spell is forgotten after kRecentPieces pieces.
//
// It can't starve the view: the first piece of every drain is taken whatever
// the estimate says (one Line at least), so each drain shows something, and
// a drain that stops early asks for the next one at once. An estimate too high
// only cuts drains into more, smaller ones.
class DrainPacer {
  public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t kRecentPieces = 8;
    // Pieces below this cost are timed mostly for their fixed overhead.
    static constexpr std::size_t kRatedPieceCost = 2048;
    // Before any piece has been timed: as slow as a slow spell, so that a drain
    // that knows nothing yet rather takes too little than too much.
    static constexpr double kAssumedNsPerCost = 1000;
    static constexpr auto kAssumedRepaint = std::chrono::milliseconds(3);

    explicit DrainPacer(Clock::duration target) : target_(target) {}

    // A piece of `cost` was appended in `took` (its trim, if any, not included).
    void PieceTook(std::size_t cost, Clock::duration took);
    void TrimTook(Clock::duration took);
    void RepaintTook(Clock::duration took);

    // The most layout cost the next piece may have, `elapsed` into the drain,
    // for it and the repaint after the drain (and the trim before the piece,
    // if one is due) to end within the target; 0 when nothing more fits.
    std::size_t Affordable(Clock::duration elapsed, bool trimDue) const;

  private:
    // The slowest of the last kRecentPieces samples.
    template <typename T>
    class RecentMax {
      public:
        explicit RecentMax(T assumed) { samples_.fill(assumed); }
        void Add(T sample) {
            samples_[next_] = sample;
            next_ = (next_ + 1) % samples_.size();
        }
        T Max() const;

      private:
        std::array<T, kRecentPieces> samples_;
        std::size_t next_ = 0;
    };

    Clock::duration target_;
    RecentMax<double> nsPerCost_{kAssumedNsPerCost};
    RecentMax<Clock::duration> repaint_{kAssumedRepaint};
    RecentMax<Clock::duration> trim_{Clock::duration::zero()};
};

}  // namespace nemora
