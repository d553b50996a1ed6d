// Times as ssh-keygen reads them in the valid-after and valid-before options
// of allowed signers (and -Overify-time): YYYYMMDD, YYYYMMDDHHMM or
// YYYYMMDDHHMMSS, digits only, in UTC when "Z" or "UTC" (any case) follows,
// otherwise in this machine's local time zone taken as standard time (the
// daylight-saving flag clear, as ssh-keygen passes it to mktime).
//
// The fields range as strptime lets them: month 01-12, day 01-31, hour 00-23,
// minute 00-59, second 00-61; a day or second past the end of its month or
// minute runs on into the next (20300231 is 2030-03-03). A time at or before
// 1970-01-01 00:00:00 UTC is refused, as ssh-keygen refuses it, and so is a
// local time that this machine's mktime cannot place (on Windows, one past
// the year 3000).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tl::ctl::sign {

// Seconds since 1970-01-01 00:00:00 UTC.
std::optional<int64_t> ParseSshTime(std::string_view text);

// "2027-01-01 00:00:00 UTC".
std::string FormatUtc(int64_t seconds);

}  // namespace tl::ctl::sign
