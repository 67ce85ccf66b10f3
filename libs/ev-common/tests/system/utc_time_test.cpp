// ISO 8601 texts of times certificates carry, from 1950 to 9999: computed on
// 64 bits, so the same on the 32-bit target, whose time_t ends in 2038.
#include "ev_common/system/utc_time.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

TEST(UtcTime, FormatsEveryYearCertificatesUseOn64Bits) {
    const std::pair<std::int64_t, const char*> cases[] = {
        {INT64_C(-631152000), "1950-01-01T00:00:00Z"},  // first UTCTime year
        {INT64_C(-1), "1969-12-31T23:59:59Z"},
        {0, "1970-01-01T00:00:00Z"},
        {INT64_C(951782400), "2000-02-29T00:00:00Z"},
        {INT64_C(2147483648), "2038-01-19T03:14:08Z"},  // past a 32-bit time_t
        {INT64_C(2524651200), "2050-01-01T12:00:00Z"},  // first GeneralizedTime year
        {INT64_C(4294967296), "2106-02-07T06:28:16Z"},  // past 32 unsigned bits
        {INT64_C(253402300799), "9999-12-31T23:59:59Z"},
    };
    for (const auto& [seconds, text] : cases) {
        EXPECT_EQ(ev_common::formatUtcTime(seconds), text) << seconds;
    }
}
