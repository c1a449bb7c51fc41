#pragma once

// "At most once per interval": when something last happened, and whether it
// may happen again yet. Due from the start, before it has ever happened.

#include <chrono>
#include <optional>

namespace nemora {

class AtMostEvery {
  public:
    using Clock = std::chrono::steady_clock;

    explicit constexpr AtMostEvery(Clock::duration interval) : interval_(interval) {}

    bool Due(Clock::time_point now) const { return !last_ || now - *last_ >= interval_; }
    // How long until it is due again; zero once it is.
    Clock::duration Left(Clock::time_point now) const {
        return Due(now) ? Clock::duration::zero() : interval_ - (now - *last_);
    }
    void Happened(Clock::time_point now) { last_ = now; }

  private:
    Clock::duration interval_;
    std::optional<Clock::time_point> last_;
};

}  // namespace nemora
