// nemora-relay's plain logic: its command line, the prefix and its own lines,
// the process filters, and each source's bytes framed on their own.

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "tools/relay_lines.h"
#include "tools/relay_options.h"

namespace nemora::relay {
namespace {

using Lines = std::vector<std::string>;

ParseResult Parse(std::initializer_list<std::wstring_view> args) {
    return ParseRelayOptions(std::span(args.begin(), args.size()));
}

TEST(RelayOptions, SourcesAndFiltersAreRead) {
    const ParseResult none = Parse({});
    ASSERT_TRUE(none.ok()) << none.error;
    EXPECT_FALSE(none.options.debugOutput || none.options.global || none.options.help);
    const ParseResult parsed =
        Parse({L"--debug-output", L"--pid", L"42", L"--process", L"g\u00E4me.exe",
               L"--pid=4294967295", L"--global", L"--process=tool"});
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    EXPECT_TRUE(parsed.options.debugOutput);
    EXPECT_TRUE(parsed.options.global);
    EXPECT_EQ(parsed.options.pids, (std::vector<std::uint32_t>{42, 4294967295u}));
    EXPECT_EQ(parsed.options.processNames, (Lines{"g\xC3\xA4me.exe", "tool"}));
    EXPECT_TRUE(Parse({L"/?"}).options.help);
}

TEST(RelayOptions, WhatItRefusesIsSaid) {
    for (auto args : {std::vector<std::wstring_view>{L"--pid"},
                      {L"--pid", L"0"},
                      {L"--pid", L"4294967296"},
                      {L"--pid", L"12a"},
                      {L"--pid="},
                      {L"--process", L"C:\\games\\game.exe"},
                      {L"--process="},
                      {L"--debug"},
                      {L"game.exe"}}) {
        const ParseResult parsed = ParseRelayOptions(args);
        EXPECT_FALSE(parsed.ok()) << std::string(args.size(), '*');
    }
    EXPECT_EQ(Parse({L"--pid", L"x"}).error,
              "--pid takes a process id (a whole number from 1), not \"x\"");
    EXPECT_EQ(Parse({L"--what"}).error, "unknown argument --what");
}

TEST(RelayLines, PrefixAndArrivalNameTheProcess) {
    EXPECT_EQ(LinePrefix(4242, "game.exe"), "[4242 game.exe] ");
    EXPECT_EQ(LinePrefix(7, ""), "[7 ?] ");
    EXPECT_EQ(ArrivalLine(4242, "game.exe"), "[relay] 4242 game.exe connected");
    EXPECT_EQ(DepartureLine(4242, "?"), "[relay] 4242 ? disconnected");
    EXPECT_EQ(ImageFileName("C:\\Games\\Game.EXE"), "Game.EXE");
    EXPECT_EQ(ImageFileName("Z:/tmp/tool"), "tool");
    EXPECT_EQ(ImageFileName("C:\\dir\\"), "?");
}

TEST(ProcessFilters, KeepListedIdsOrNamesOnly) {
    const ProcessFilter all({}, {});
    EXPECT_TRUE(all.Keeps(1, "?"));
    EXPECT_FALSE(all.NeedsNames());

    const ProcessFilter ids({10, 20}, {});
    EXPECT_TRUE(ids.Keeps(20, "any.exe"));
    EXPECT_FALSE(ids.Keeps(30, "any.exe"));

    const ProcessFilter names({5}, {"Game.exe", "tool"});
    EXPECT_TRUE(names.NeedsNames());
    EXPECT_TRUE(names.Keeps(1, "GAME.EXE"));
    EXPECT_TRUE(names.Keeps(1, "tool.exe"));  // ".exe" optional in the list
    EXPECT_TRUE(names.Keeps(1, "tool"));
    EXPECT_TRUE(names.Keeps(5, "?"));  // listed by id
    EXPECT_FALSE(names.Keeps(1, "game.exe.bak"));
    EXPECT_FALSE(names.Keeps(1, "tools.exe"));
    EXPECT_FALSE(names.Keeps(1, "?"));
    EXPECT_FALSE(ProcessFilter({}, {"?"}).Keeps(1, "?"));  // an unreadable name matches nothing
}

class Recorder : public RelayOutput {
  public:
    void Line(std::string_view line) override { lines.emplace_back(line); }
    void Fps(double reading) override { readings.push_back(reading); }
    Lines lines;
    std::vector<double> readings;
};

// Two clients' bytes arriving in turns, each cutting lines in the middle:
// no line is ever joined to another client's, each keeps its own order.
TEST(PrefixedFraming, EachSourceIsFramedOnItsOwn) {
    Recorder out;
    PrefixedFramer a(out);
    PrefixedFramer b(out);
    a.Start(1, "a.exe");
    b.Start(2, "b.exe");
    a.Feed("one\ntw");
    b.Feed("uno\r\nFPS:5");
    a.Feed("o\nFPS:6");
    b.Feed("0\ndo");
    a.Feed("0\n");
    a.Feed("thr");
    a.Finish();
    b.Finish();
    EXPECT_EQ(out.lines, (Lines{"[1 a.exe] one", "[2 b.exe] uno", "[1 a.exe] two", "[1 a.exe] thr",
                                "[2 b.exe] do"}));
    EXPECT_EQ(out.readings, (std::vector<double>{50.0, 60.0}));
}

// One framer serving one debug-output string after another: each string's
// unfinished end is its own line, under its own writer's prefix.
TEST(PrefixedFraming, StartingTheNextSourceFinishesThePrevious) {
    Recorder out;
    PrefixedFramer framer(out);
    framer.Start(1, "a.exe");
    framer.Feed("no line feed");
    framer.Start(2, "b.exe");
    framer.Feed("x\ny");
    framer.Finish();
    EXPECT_EQ(out.lines, (Lines{"[1 a.exe] no line feed", "[2 b.exe] x", "[2 b.exe] y"}));
}

// The console keeps 4096 bytes of a line: an over-long line is cut by the
// relay so that its prefix and cut marker fit, and the marker counts only the
// client's bytes.
TEST(PrefixedFraming, AnOverLongLineIsCutSoThatThePrefixAndMarkerFit) {
    Recorder out;
    PrefixedFramer framer(out);
    framer.Start(4242, "game.exe");
    framer.Feed(std::string(10000, 'z') + "\n");
    ASSERT_EQ(out.lines.size(), 1u);
    const std::string& line = out.lines[0];
    EXPECT_LE(line.size(), kMaxLineBytes);
    const std::size_t kept = line.find(" \xE2\x80\xA6 [") - LinePrefix(4242, "game.exe").size();
    EXPECT_TRUE(line.ends_with(CutMarker(10000 - kept))) << line.substr(line.size() - 40);
    out.lines.clear();
    framer.Feed(std::string(1000, 'w') + "\n");
    EXPECT_EQ(out.lines, Lines{"[4242 game.exe] " + std::string(1000, 'w')});
}

}  // namespace
}  // namespace nemora::relay
