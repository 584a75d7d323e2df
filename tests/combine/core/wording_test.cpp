// Tests of the wording of numbers and times: digits grouped by three, the
// noun agreeing with its number, the history's UTC time stamps shown plainly
// and any other text as it is.
#include "wording.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(Wording, NumbersAndTimes) {
    for (auto [n, text] : {std::pair{0LL, "0"},
                           {999LL, "999"},
                           {1000LL, "1,000"},
                           {-1234567LL, "-1,234,567"},
                           {LLONG_MIN, "-9,223,372,036,854,775,808"}})
        EXPECT_EQ(wording::Grouped(n), text) << n;
    EXPECT_EQ(wording::Counted(1, "item", "items"), "1 item");
    EXPECT_EQ(wording::Counted(1234, "entry", "entries"), "1,234 entries");
    for (auto [iso, shown] : {std::pair{"2026-12-07T05:30:12Z", "2026-12-07 05:30:12 UTC"},
                              {"2026-12-07T05:30:12+", "2026-12-07T05:30:12+"},
                              {"2026-12-07 05:30:12Z", "2026-12-07 05:30:12Z"},
                              {"2026-12-07T05:30:1Z", "2026-12-07T05:30:1Z"},
                              {"", ""}})
        EXPECT_EQ(wording::ShownTime(iso), shown) << iso;
}

} // namespace
