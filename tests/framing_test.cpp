// The LineFramer: stream in, Lines and readings out, as a client's bytes arrive.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "intake/line_framer.h"

namespace nemora {
namespace {

// What the framer handed on, in order: a Line or a reading.
using Output = std::variant<Line, double>;

class Recorder {
  public:
    LineFramer framer{[this](std::string_view line) { out.emplace_back(std::string(line)); },
                      [this](double fps) { out.emplace_back(fps); }};
    std::vector<Output> out;

    Recorder& Feed(std::string_view bytes) {
        framer.Feed(bytes.data(), bytes.size());
        return *this;
    }
    std::vector<Line> Lines() const {
        std::vector<Line> lines;
        for (const auto& o : out) {
            if (auto* line = std::get_if<Line>(&o)) {
                lines.push_back(*line);
            }
        }
        return lines;
    }
    std::vector<double> Readings() const {
        std::vector<double> readings;
        for (const auto& o : out) {
            if (auto* fps = std::get_if<double>(&o)) {
                readings.push_back(*fps);
            }
        }
        return readings;
    }
};

using Lines = std::vector<Line>;

TEST(Framing, PartialLineWaitsForItsLineFeed) {
    Recorder r;
    r.Feed("abc");
    EXPECT_TRUE(r.out.empty());
    r.Feed("def\n");
    EXPECT_EQ(r.Lines(), Lines{"abcdef"});
}

TEST(Framing, SeveralLinesInOnePieceKeepTheirOrderAndTheRestWaits) {
    Recorder r;
    r.Feed("a\nb\nc");
    EXPECT_EQ(r.Lines(), (Lines{"a", "b"}));
    EXPECT_EQ(r.framer.Buffered(), 1u);
    r.Feed("\n");
    EXPECT_EQ(r.Lines(), (Lines{"a", "b", "c"}));
}

TEST(Framing, OnlyTheCarriageReturnRightBeforeTheLineFeedIsDropped) {
    Recorder r;
    r.Feed("\n").Feed("\r\n").Feed("x\r\r\n").Feed("a\rb\n").Feed("\r\rz\n");
    EXPECT_EQ(r.Lines(), (Lines{"", "", "x\r", "a\rb", "\r\rz"}));
}

TEST(Framing, CarriageReturnAndLineFeedSplitAcrossReads) {
    Recorder r;
    r.Feed("x\r").Feed("\n").Feed("y\r").Feed("z\n");
    EXPECT_EQ(r.Lines(), (Lines{"x", "y\rz"}));
}

TEST(Framing, EveryByteValueButLineFeedPassesThrough) {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        if (b != '\n') {
            all.push_back(static_cast<char>(b));
        }
    }
    Recorder r;
    r.Feed(all + "\n");
    EXPECT_EQ(r.Lines(), Lines{all});
}

// A source that has ended: what it left without a line feed is a Line of its
// own (cut and marked like any other), or a reading; nothing stays behind.
TEST(Framing, FinishHandsOnTheUnfinishedLineAsALineOfItsOwn) {
    Recorder r;
    r.Feed("a\nhalf").framer.Finish();
    r.framer.Finish();  // nothing left: no empty line
    EXPECT_EQ(r.Lines(), (Lines{"a", "half"}));
    EXPECT_EQ(r.framer.Buffered(), 0u);
    r.Feed("next\n").Feed("FPS:24").framer.Finish();
    EXPECT_EQ(r.Lines(), (Lines{"a", "half", "next"}));
    EXPECT_EQ(r.Readings(), std::vector<double>{24.0});
    r.Feed(std::string(kMaxLineBytes + 7, 'y')).framer.Finish();
    EXPECT_EQ(r.Lines().back(), std::string(kMaxLineBytes, 'y') + CutMarker(7));
}

TEST(Framing, ASmallerLimitCutsLinesThere) {
    Recorder r;
    r.framer.SetMaxLineBytes(4);
    r.Feed("abcd\nabcdef\nab").Feed("cdefg\r\n");
    EXPECT_EQ(r.Lines(), (Lines{"abcd", "abcd" + CutMarker(2), "abcd" + CutMarker(3)}));
}

TEST(ControlLines, ReadingsAreTakenOutOfTheText) {
    Recorder r;
    r.Feed("FPS:60\r\nFPS:\nFPS:\r\nFPS:abc\nFPS: 30 fps\nFPS:59.7\n");
    EXPECT_TRUE(r.Lines().empty());
    EXPECT_EQ(r.Readings(), (std::vector<double>{60.0, 0.0, 0.0, 0.0, 30.0, 59.7}));
}

TEST(ControlLines, OnlyTheExactUpperCasePrefixAtTheStartCounts) {
    Recorder r;
    r.Feed("fps:60\n FPS:60\nFPS\nFPS60\nxFPS:1\n");
    EXPECT_EQ(r.Lines(), (Lines{"fps:60", " FPS:60", "FPS", "FPS60", "xFPS:1"}));
    EXPECT_TRUE(r.Readings().empty());
}

TEST(ControlLines, PrefixSplitAcrossReadsIsRecognised) {
    Recorder r;
    r.Feed("FP").Feed("S:30\n");
    EXPECT_EQ(r.Readings(), std::vector<double>{30.0});
    EXPECT_TRUE(r.Lines().empty());
}

TEST(ControlLines, ReadingsAndLinesKeepStreamOrder) {
    Recorder r;
    r.Feed("a\nFPS:1\nb\nFPS:2\n");
    ASSERT_EQ(r.out.size(), 4u);
    EXPECT_EQ(std::get<Line>(r.out[0]), "a");
    EXPECT_EQ(std::get<double>(r.out[1]), 1.0);
    EXPECT_EQ(std::get<Line>(r.out[2]), "b");
    EXPECT_EQ(std::get<double>(r.out[3]), 2.0);
}

// The number is read as C99 strtod reads it, whatever the runtime's atof does.
TEST(ControlLines, NumbersAreReadAsTheCRuntimeReadsThem) {
    EXPECT_EQ(ParseFpsReading("60"), 60.0);
    EXPECT_EQ(ParseFpsReading("  \t-12.5e1xyz"), -125.0);
    EXPECT_EQ(ParseFpsReading("+.5"), 0.5);
    EXPECT_EQ(ParseFpsReading("0x1p4"), 16.0);
    EXPECT_EQ(ParseFpsReading("0X1.8p1"), 3.0);
    EXPECT_EQ(ParseFpsReading("1e"), 1.0);
    EXPECT_TRUE(std::isinf(ParseFpsReading("inf")));
    EXPECT_TRUE(std::isinf(ParseFpsReading("-Infinity")));
    EXPECT_LT(ParseFpsReading("-inf"), 0.0);
    EXPECT_TRUE(std::isnan(ParseFpsReading("nan")));
    EXPECT_TRUE(std::isnan(ParseFpsReading("NAN(123)")));
    EXPECT_EQ(ParseFpsReading(""), 0.0);
    EXPECT_EQ(ParseFpsReading("abc"), 0.0);
    EXPECT_EQ(ParseFpsReading("-"), 0.0);
    EXPECT_EQ(ParseFpsReading(std::string_view("7\0"
                                               "5",
                                               3)),
              7.0);  // a zero byte ends the text
    EXPECT_EQ(ParseFpsReading("1e999"), HUGE_VAL);
}

// --- the cap on a Line's length ---

std::string Bytes(std::size_t n, char fill = 'x') {
    return std::string(n, fill);
}

TEST(LineCap, ALineOfExactlyTheCapIsKeptWhole) {
    Recorder r;
    r.Feed(Bytes(kMaxLineBytes) + "\n").Feed(Bytes(kMaxLineBytes, 'y') + "\r\n");
    // The cap's last byte a carriage return, its line feed in the next read.
    r.Feed(Bytes(kMaxLineBytes - 1, 'z') + "\r").Feed("\n");
    EXPECT_EQ(r.Lines(), (Lines{Bytes(kMaxLineBytes), Bytes(kMaxLineBytes, 'y'),
                                Bytes(kMaxLineBytes - 1, 'z')}));
}

TEST(LineCap, OneByteOverIsCutWithAMarker) {
    Recorder r;
    r.Feed(Bytes(kMaxLineBytes + 1) + "\r\n");
    EXPECT_EQ(r.Lines(), Lines{Bytes(kMaxLineBytes) + " \xE2\x80\xA6 [1 more bytes not shown]"});
}

TEST(LineCap, TheCapHoldsWhicheverWayTheBytesArrive) {
    const std::string line = Bytes(kMaxLineBytes + 100);
    for (std::size_t piece : {1u, 7u, 100u, 4096u, 4097u, 9000u}) {
        Recorder r;
        const std::string stream = line + "\r\n" + "after\n";
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            r.Feed(std::string_view(stream).substr(at, piece));
        }
        EXPECT_EQ(r.Lines(), (Lines{Bytes(kMaxLineBytes) + CutMarker(100), "after"}))
            << "piece " << piece;
    }
}

// A carriage return that ends up right before the line feed is not counted,
// and one that does not is an ordinary discarded byte.
TEST(LineCap, CarriageReturnsAtTheCutAreCountedOnlyWhenInsideTheLine) {
    Recorder r;
    r.Feed(Bytes(kMaxLineBytes) + "\r").Feed("\n");
    r.Feed(Bytes(kMaxLineBytes) + "\r").Feed("\r\n");
    r.Feed(Bytes(kMaxLineBytes) + "\r").Feed("z\n");
    EXPECT_EQ(r.Lines(), (Lines{Bytes(kMaxLineBytes), Bytes(kMaxLineBytes) + CutMarker(1),
                                Bytes(kMaxLineBytes) + CutMarker(2)}));
}

TEST(LineCap, ControlLineTestAppliesToTheKeptBytes) {
    Recorder r;
    r.Feed("FPS:42" + Bytes(kMaxLineBytes * 2, ' ') + "\n");
    EXPECT_EQ(r.Readings(), std::vector<double>{42.0});
    EXPECT_TRUE(r.Lines().empty());
}

TEST(LineCap, SixtyFourMebibytesWithoutALineFeedStayBounded) {
    Recorder r;
    const std::string piece = Bytes(4096, 'q');
    std::size_t most = 0;
    constexpr std::size_t kTotal = 64u << 20;
    for (std::size_t sent = 0; sent < kTotal; sent += piece.size()) {
        r.Feed(piece);
        most = std::max(most, r.framer.Buffered());
    }
    EXPECT_LE(most, kMaxLineBytes + 4096);
    EXPECT_TRUE(r.out.empty());
    r.Feed("\nnext\n");
    EXPECT_EQ(r.Lines(),
              (Lines{Bytes(kMaxLineBytes, 'q') + CutMarker(kTotal - kMaxLineBytes), "next"}));
}

// --- property: piece boundaries never change what comes out ---

std::string RandomStream(std::mt19937& rng, std::size_t length) {
    static const std::string kFragments[] = {
        "\n",          "\r",         "\r\n", "FPS:", "FPS:12.5\n",
        "FPS:inf\r\n", "FPS:0x10\n", "fps:", "\0",   "\xE2\x80\xA6"};
    std::string s;
    std::uniform_int_distribution<int> pick(0, 9), byte(0, 255), fragment(0, 9);
    std::uniform_int_distribution<int> longRun(0, 200);
    while (s.size() < length) {
        const int what = pick(rng);
        if (what < 5) {
            s.push_back(static_cast<char>(byte(rng)));
        } else if (what < 9) {
            s += kFragments[fragment(rng)];
        } else if (longRun(rng) == 0) {
            s += std::string(kMaxLineBytes - 50 + longRun(rng), 'L');  // around the cap
        }
    }
    return s;
}

TEST(FramingProperty, RandomPiecesGiveTheSameOutputAsOneWholeFeed) {
    for (unsigned seed = 1; seed <= 60; ++seed) {
        std::mt19937 rng(seed);
        const std::string stream = RandomStream(rng, 40000);

        Recorder whole;
        whole.Feed(stream);

        Recorder pieces;
        std::uniform_int_distribution<std::size_t> size(1, 4096);
        std::bernoulli_distribution tiny(0.3);
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t n =
                std::min(tiny(rng) ? size(rng) % 8 + 1 : size(rng), stream.size() - at);
            pieces.Feed(std::string_view(stream).substr(at, n));
            at += n;
            ASSERT_LE(pieces.framer.Buffered(), kMaxLineBytes + 4096);
        }
        ASSERT_EQ(pieces.out.size(), whole.out.size()) << "seed " << seed;
        for (std::size_t i = 0; i < whole.out.size(); ++i) {
            // NaN readings compare unequal to themselves: compare their bits' meaning instead.
            if (auto* a = std::get_if<double>(&whole.out[i]); a && std::isnan(*a)) {
                ASSERT_TRUE(std::isnan(std::get<double>(pieces.out[i])));
                continue;
            }
            ASSERT_EQ(pieces.out[i], whole.out[i]) << "seed " << seed << " output " << i;
        }
        // And no Line ever holds a line feed or more than the cap plus its marker.
        for (const Line& line : whole.Lines()) {
            ASSERT_EQ(line.find('\n'), std::string::npos);
            ASSERT_LE(line.size(), kMaxLineBytes + CutMarker(UINT64_MAX).size());
        }
    }
}

// Cross-checks the whole-stream output against a direct reading of the rules.
TEST(FramingProperty, WholeStreamMatchesTheRulesReadDirectly) {
    for (unsigned seed = 100; seed < 120; ++seed) {
        std::mt19937 rng(seed);
        const std::string stream = RandomStream(rng, 20000);
        Recorder r;
        r.Feed(stream);

        std::vector<Output> expected;
        std::size_t start = 0;
        for (std::size_t lf; (lf = stream.find('\n', start)) != std::string::npos; start = lf + 1) {
            std::string line = stream.substr(start, lf - start);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            std::string marker;
            if (line.size() > kMaxLineBytes) {
                marker = CutMarker(line.size() - kMaxLineBytes);
                line.resize(kMaxLineBytes);
            }
            if (line.rfind("FPS:", 0) == 0) {
                expected.emplace_back(std::strtod(line.c_str() + 4, nullptr));
            } else {
                expected.emplace_back(line + marker);
            }
        }
        ASSERT_EQ(r.out.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            if (auto* a = std::get_if<double>(&expected[i]); a && std::isnan(*a)) {
                continue;
            }
            ASSERT_EQ(r.out[i], expected[i]) << "seed " << seed << " output " << i;
        }
    }
}

}  // namespace
}  // namespace nemora
