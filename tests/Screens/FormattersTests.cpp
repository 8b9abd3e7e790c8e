// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "Corvane/Screens/Formatters.hpp"

using namespace corvane;

TEST(Formatters, BytesAndRatesStepAtEachUnitAndRatesStopAtGB) {
    constexpr std::int64_t KB = 1024, MB = KB * 1024, GB = MB * 1024, TB = GB * 1024;
    struct Case {
        std::int64_t n;
        const char* bytes;
        const char* rate;
    };
    const Case cases[] = {
        {0, "0 B", "0 B/s"},
        {1023, "1023 B", "1023 B/s"},
        {1024, "1.0 KB", "1.0 KB/s"},
        {1536, "1.5 KB", "1.5 KB/s"},
        {MB - 1, "1024.0 KB", "1024.0 KB/s"},  // rounds up inside the KB step
        {MB, "1.00 MB", "1.00 MB/s"},
        {GB - 1, "1024.00 MB", "1024.00 MB/s"},
        {GB, "1.00 GB", "1.00 GB/s"},
        {TB - 1, "1024.00 GB", "1024.00 GB/s"},
        {TB, "1.00 TB", "1024.00 GB/s"},
        {3 * TB / 2, "1.50 TB", "1536.00 GB/s"},
        {INT64_MAX, "8388608.00 TB", "8589934592.00 GB/s"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Formatters::bytes(c.n), c.bytes) << c.n;
        EXPECT_EQ(Formatters::rate(c.n), c.rate) << c.n;
    }
}

TEST(Formatters, AgesShowFromAMinuteInWholeUnits) {
    using namespace std::chrono;
    const std::pair<seconds, const char*> cases[] = {
        {-1h, ""},  // the clock was set back
        {0s, ""},
        {59s, ""},
        {60s, "1 min ago"},
        {3min + 59s, "3 min ago"},
        {59min + 59s, "59 min ago"},
        {1h, "1 h ago"},
        {23h + 59min, "23 h ago"},
        {24h, "1 d ago"},
        {24h * 400, "400 d ago"},
    };
    for (const auto& [elapsed, text] : cases) EXPECT_EQ(Formatters::age(elapsed), text) << elapsed.count();
}
