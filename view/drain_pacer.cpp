#include "view/drain_pacer.h"

#include <algorithm>

namespace nemora {

template <typename T>
T DrainPacer::RecentMax<T>::Max() const {
    return *std::max_element(samples_.begin(), samples_.end());
}

void DrainPacer::PieceTook(std::size_t cost, Clock::duration took) {
    if (cost >= kRatedPieceCost) {
        const auto ns = std::chrono::duration<double, std::nano>(took).count();
        nsPerCost_.Add(ns / static_cast<double>(cost));
    }
}

void DrainPacer::TrimTook(Clock::duration took) {
    trim_.Add(took);
}

void DrainPacer::RepaintTook(Clock::duration took) {
    repaint_.Add(took);
}

std::size_t DrainPacer::Affordable(Clock::duration elapsed, bool trimDue) const {
    const Clock::duration left =
        target_ - elapsed - repaint_.Max() - (trimDue ? trim_.Max() : Clock::duration::zero());
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto ns = std::chrono::duration<double, std::nano>(left).count();
    return static_cast<std::size_t>(ns / nsPerCost_.Max());
}

}  // namespace nemora
