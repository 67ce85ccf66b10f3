// ISO 8601 UTC text of a time in seconds since 1970, for log lines and the
// texts clients read ("2050-01-01T12:00:00Z"). Pure calendar arithmetic on
// 64 bits: certificates name years from 1950 to 9999, and the device's time_t
// and gmtime end in 2038.
#pragma once

#include <cstdint>
#include <string>

namespace ev_common {

// "YYYY-MM-DDTHH:MM:SSZ"; negative seconds are before 1970.
std::string formatUtcTime(std::int64_t secondsSinceEpoch);

}  // namespace ev_common
