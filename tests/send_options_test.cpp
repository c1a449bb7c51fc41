// nemora-send's command line: what it writes, how long it waits, what it refuses.

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "tools/send_options.h"

namespace nemora::send {
namespace {

using Lines = std::vector<std::string>;

ParseResult Parse(std::initializer_list<std::wstring_view> args) {
    return ParseSendOptions(std::span(args.begin(), args.size()));
}

TEST(SendOptions, NoArgumentsForwardsStandardInputWithTheDefaultWait) {
    const ParseResult parsed = Parse({});
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    EXPECT_EQ(parsed.options.lines, Lines{});
    EXPECT_FALSE(parsed.options.help);
    EXPECT_EQ(parsed.options.waitSeconds, 5u);
}

TEST(SendOptions, TextsAndReadingsAreLinesInCommandLineOrder) {
    const ParseResult parsed = Parse({L"first", L"--fps", L"59.7", L"second line", L"--fps=30"});
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    EXPECT_EQ(parsed.options.lines, (Lines{"first", "FPS:59.7", "second line", "FPS:30"}));
}

TEST(SendOptions, EmptyTextIsAnEmptyLineAndFpsValueIsPassedAsGiven) {
    const ParseResult parsed = Parse({L"", L"--fps", L"", L"--fps", L" 12 fps"});
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    EXPECT_EQ(parsed.options.lines, (Lines{"", "FPS:", "FPS: 12 fps"}));
}

TEST(SendOptions, DoubleDashMakesTheRestText) {
    const ParseResult parsed = Parse({L"--wait", L"2", L"--", L"--fps", L"-x", L"--"});
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    EXPECT_EQ(parsed.options.lines, (Lines{"--fps", "-x", "--"}));
    EXPECT_EQ(parsed.options.waitSeconds, 2u);
}

TEST(SendOptions, LoneDashAndNegativeLookingTextNeedNoDoubleDashOnlyWhenNotOptions) {
    EXPECT_EQ(Parse({L"-"}).options.lines, Lines{"-"});
    EXPECT_FALSE(Parse({L"-5"}).ok());
    EXPECT_EQ(Parse({L"--", L"-5"}).options.lines, Lines{"-5"});
}

TEST(SendOptions, WaitTakesWholeSecondsInEitherForm) {
    EXPECT_EQ(Parse({L"--wait", L"0"}).options.waitSeconds, 0u);
    EXPECT_EQ(Parse({L"--wait=12", L"x"}).options.waitSeconds, 12u);
    EXPECT_EQ(Parse({L"--wait", L"86400"}).options.waitSeconds, 86400u);
}

TEST(SendOptions, WaitRefusesWhatIsNotWholeSecondsInRange) {
    for (std::wstring_view bad : {L"", L"-1", L"1.5", L"abc", L"86401", L"99999999999", L"5s"}) {
        const ParseResult parsed = Parse({L"--wait", bad, L"x"});
        EXPECT_FALSE(parsed.ok()) << ToUtf8(bad);
        EXPECT_NE(parsed.error.find("--wait"), std::string::npos) << parsed.error;
    }
}

TEST(SendOptions, OptionWithoutItsValueIsRefused) {
    EXPECT_EQ(Parse({L"--wait"}).error, "--wait needs a value");
    EXPECT_EQ(Parse({L"x", L"--fps"}).error, "--fps needs a value");
}

TEST(SendOptions, UnknownOptionIsRefusedAndNamed) {
    const ParseResult parsed = Parse({L"--verbose", L"x"});
    EXPECT_FALSE(parsed.ok());
    EXPECT_NE(parsed.error.find("--verbose"), std::string::npos) << parsed.error;
}

TEST(SendOptions, LineFeedInsideAnArgumentIsRefused) {
    EXPECT_FALSE(Parse({L"two\nlines"}).ok());
    EXPECT_FALSE(Parse({L"--fps", L"60\nx"}).ok());
    // A carriage return is an ordinary byte of a line.
    EXPECT_EQ(Parse({L"a\rb"}).options.lines, Lines{"a\rb"});
}

TEST(SendOptions, HelpInAnyOfItsSpellings) {
    for (std::wstring_view help : {L"--help", L"-h", L"/?"}) {
        const ParseResult parsed = Parse({help});
        ASSERT_TRUE(parsed.ok()) << parsed.error;
        EXPECT_TRUE(parsed.options.help);
    }
    // After "--" they are text like any other.
    const ParseResult text = Parse({L"--", L"--help", L"/?"});
    EXPECT_FALSE(text.options.help);
    EXPECT_EQ(text.options.lines, (Lines{"--help", "/?"}));
}

TEST(SendOptions, UsageTextDocumentsEveryExitCode) {
    const std::string_view usage = UsageText();
    EXPECT_TRUE(usage.starts_with("Usage: nemora-send"));
    for (int code :
         {kExitOk, kExitIoFailed, kExitNoConsole, kExitBusyTimeout, kExitUsage, kExitOpenFailed}) {
        EXPECT_NE(usage.find("\n  " + std::to_string(code) + "  "), std::string_view::npos) << code;
    }
}

TEST(SendOptions, TextIsConvertedToUtf8) {
    EXPECT_EQ(ToUtf8(L"plain"), "plain");
    EXPECT_EQ(ToUtf8(L"w\u00F6rld"), "w\xC3\xB6rld");                // two bytes
    EXPECT_EQ(ToUtf8(L"\u2713\u20AC"), "\xE2\x9C\x93\xE2\x82\xAC");  // three bytes
    EXPECT_EQ(ToUtf8(L"\U0001F600"), "\xF0\x9F\x98\x80");            // a surrogate pair
    EXPECT_EQ(ToUtf8(std::wstring_view(L"a\0b", 3)), std::string("a\0b", 3));
    EXPECT_EQ(ToUtf8(L"\u07FF\u0800\uFFFF"), "\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
}

TEST(SendOptions, UnpairedSurrogatesBecomeReplacementCharacters) {
    const std::wstring loneHigh = {L'a', static_cast<wchar_t>(0xD83D), L'b'};
    const std::wstring loneLow = {static_cast<wchar_t>(0xDE00)};
    const std::wstring highAtEnd = {L'x', static_cast<wchar_t>(0xD83D)};
    EXPECT_EQ(ToUtf8(loneHigh),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(ToUtf8(loneLow), "\xEF\xBF\xBD");
    EXPECT_EQ(ToUtf8(highAtEnd), "x\xEF\xBF\xBD");
}

}  // namespace
}  // namespace nemora::send
