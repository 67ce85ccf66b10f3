#include "ev_common/system/utc_time.hpp"

#include <array>
#include <cstdio>

namespace ev_common {

namespace {

struct CivilDate {
    std::int64_t year = 1970;
    unsigned month = 1;
    unsigned day = 1;
};

// The proleptic Gregorian date of a day count since 1970-01-01, by 400-year
// eras of 146097 days.
CivilDate civilFromDays(std::int64_t days) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    CivilDate date;
    date.day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    date.month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    date.year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (date.month <= 2 ? 1 : 0);
    return date;
}

}  // namespace

std::string formatUtcTime(std::int64_t secondsSinceEpoch) {
    std::int64_t days = secondsSinceEpoch / 86400;
    std::int64_t rest = secondsSinceEpoch % 86400;
    if (rest < 0) {
        rest += 86400;
        days -= 1;
    }
    const CivilDate date = civilFromDays(days);
    std::array<char, 48> text{};
    std::snprintf(text.data(), text.size(), "%04lld-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<long long>(date.year), date.month, date.day,
                  static_cast<int>(rest / 3600), static_cast<int>(rest % 3600 / 60),
                  static_cast<int>(rest % 60));
    return text.data();
}

}  // namespace ev_common
