#pragma once

// Reads a view's lines against the lines that were offered to it: each view
// line must be the next one offered, or a notice "[console] N lines dropped"
// standing for the N lines missing at that point.

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "driver/console_process.h"

namespace nemora::test {

struct ReadBack {
    std::size_t shown = 0;
    std::vector<std::size_t> notices;  // each notice's N, in order
    std::size_t Announced() const {
        std::size_t sum = 0;
        for (const std::size_t n : notices) {
            sum += n;
        }
        return sum;
    }
};

// Fails the test at the first line out of place, and unless the view ends
// with the last line offered, every missing line announced.
inline ReadBack ReadBackWithNotices(const std::vector<std::wstring>& view,
                                    const std::vector<std::wstring>& offered) {
    ReadBack read;
    std::size_t next = 0;
    for (std::size_t i = 0; i < view.size(); ++i) {
        const std::wstring& line = view[i];
        if (const auto count = ConsoleNoticeCount(line)) {
            read.notices.push_back(*count);
            next += *count;
            continue;
        }
        if (next >= offered.size() || line != offered[next]) {
            ADD_FAILURE() << "view line " << i << " is not the line offered next (" << next << ")";
            return read;
        }
        ++next;
        ++read.shown;
    }
    EXPECT_EQ(next, offered.size()) << "the last line shows and the notices add up";
    return read;
}

}  // namespace nemora::test
