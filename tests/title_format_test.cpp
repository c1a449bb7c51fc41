// The window title made from a frame-rate reading, as the C runtime formats it.

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "app/title_format.h"

namespace nemora {
namespace {

const std::wstring kPrefix = L"Nemora Debug Console  \u2014  FPS: ";

TEST(TitleFormat, ReadingsAreRoundedHalfToEvenAndKeepTheirSign) {
    EXPECT_EQ(FormatFpsTitle(59.7), L"Nemora Debug Console  \u2014  FPS: 60");
    EXPECT_EQ(FormatFpsTitle(59.5), kPrefix + L"60");
    EXPECT_EQ(FormatFpsTitle(2.5), kPrefix + L"2");
    EXPECT_EQ(FormatFpsTitle(0.5), kPrefix + L"0");
    EXPECT_EQ(FormatFpsTitle(0.0), kPrefix + L"0");
    EXPECT_EQ(FormatFpsTitle(-0.4), kPrefix + L"-0");
    EXPECT_EQ(FormatFpsTitle(144.0), kPrefix + L"144");
}

// What the runtime prints for readings that aren't numbers ("FPS:inf" and
// "FPS:nan" parse to these): short words, which read fine in a title.
TEST(TitleFormat, InfinityAndNotANumberShowAsWords) {
    EXPECT_EQ(FormatFpsTitle(std::numeric_limits<double>::infinity()), kPrefix + L"inf");
    EXPECT_EQ(FormatFpsTitle(-std::numeric_limits<double>::infinity()), kPrefix + L"-inf");
    const std::wstring nan = FormatFpsTitle(std::numeric_limits<double>::quiet_NaN());
    EXPECT_TRUE(nan == kPrefix + L"nan" || nan == kPrefix + L"-nan")
        << std::string(nan.begin(), nan.end());
}

// The title buffer holds 80 units with its terminator: the fixed part takes
// 30, so a reading with more than 49 digits is cut.
TEST(TitleFormat, ALongReadingIsCutToTheFirst79Units) {
    ASSERT_EQ(kPrefix.size(), 30u);
    const std::wstring title = FormatFpsTitle(1e60);
    EXPECT_EQ(title.size(), kTitleBufferUnits - 1);
    EXPECT_EQ(title, kPrefix + L"9999999999999999493871352970740188669636450110134");

    // 49 digits still fit whole; of 50, the last is cut.
    EXPECT_EQ(FormatFpsTitle(1e48), kPrefix + L"1000000000000000043845843045076197354634047651840");
    EXPECT_EQ(FormatFpsTitle(2e49), kPrefix + L"1999999999999999892980553895096358639374482957926");

    EXPECT_EQ(FormatFpsTitle(std::numeric_limits<double>::max()).size(), 79u);
    const std::wstring lowest = FormatFpsTitle(std::numeric_limits<double>::lowest());
    EXPECT_EQ(lowest.size(), 79u);
    EXPECT_EQ(lowest.substr(0, 31), kPrefix + L"-");
}

}  // namespace
}  // namespace nemora
