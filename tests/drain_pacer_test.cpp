// How much layout a drain may still start, as plain logic: the pacer is told
// what pieces, trims and repaints took, and asked what fits in what is left.

#include <gtest/gtest.h>

#include <chrono>

#include "view/drain_pacer.h"

namespace nemora {
namespace {

using namespace std::chrono_literals;

constexpr auto kTarget = 50ms;

// Before anything is timed: 1000 ns per unit of cost and a 3 ms repaint.
TEST(DrainPacer, WhatIsLeftPaysForTheRepaintAndADueTrimBeforeThePiece) {
    DrainPacer pacer(kTarget);
    EXPECT_EQ(pacer.Affordable(0ms, false), 47'000u);
    EXPECT_EQ(pacer.Affordable(40ms, false), 7'000u);
    EXPECT_EQ(pacer.Affordable(47ms, false), 0u);
    EXPECT_EQ(pacer.Affordable(60ms, false), 0u);

    pacer.TrimTook(20ms);
    EXPECT_EQ(pacer.Affordable(0ms, true), 27'000u);
    EXPECT_EQ(pacer.Affordable(0ms, false), 47'000u) << "no trim due, none paid for";
    EXPECT_EQ(pacer.Affordable(27ms, true), 0u);
}

TEST(DrainPacer, TheSlowestRecentRateRulesUntilItIsForgotten) {
    DrainPacer pacer(kTarget);
    for (std::size_t i = 0; i < DrainPacer::kRecentPieces; ++i) {
        pacer.PieceTook(10'000, 1ms);  // 100 ns per unit
        pacer.RepaintTook(0ms);
    }
    EXPECT_EQ(pacer.Affordable(0ms, false), 500'000u);

    pacer.PieceTook(DrainPacer::kRatedPieceCost - 1, 1s);  // too small to say anything
    EXPECT_EQ(pacer.Affordable(0ms, false), 500'000u);

    pacer.PieceTook(10'000, 5ms);  // a slow spell: 500 ns per unit
    EXPECT_EQ(pacer.Affordable(0ms, false), 100'000u);
    for (std::size_t i = 1; i < DrainPacer::kRecentPieces; ++i) {
        pacer.PieceTook(10'000, 1ms);
    }
    EXPECT_EQ(pacer.Affordable(0ms, false), 100'000u) << "still one of the recent pieces";
    pacer.PieceTook(10'000, 1ms);
    EXPECT_EQ(pacer.Affordable(0ms, false), 500'000u);
}

}  // namespace
}  // namespace nemora
